# The part the Linux cross builds share; cmake/aarch64-linux-gnu.cmake and
# cmake/s390x-linux-gnu.cmake set QZR_CROSS_TRIPLE and QZR_CROSS_QEMU first.
# Debian's cross compilers (g++-<triple>) build against the libraries in
# /usr/<triple>; programs and tests run under qemu-user (package qemu-user),
# which ctest uses by itself through the emulator setting.
set(CMAKE_SYSTEM_NAME Linux)
find_program(CMAKE_C_COMPILER NAMES ${QZR_CROSS_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QZR_CROSS_TRIPLE}-g++ REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${QZR_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(QZR_CROSS_QEMU_PROGRAM NAMES ${QZR_CROSS_QEMU})
if(QZR_CROSS_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QZR_CROSS_QEMU_PROGRAM} -L /usr/${QZR_CROSS_TRIPLE})
endif()
