# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The posix flavour of the compiler, for std::thread in the encoder; the
# runtime is linked in statically, so the .exe files need no DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QZR_MINGW x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${QZR_MINGW}-gcc-posix ${QZR_MINGW}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QZR_MINGW}-g++-posix ${QZR_MINGW}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QZR_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QZR_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
