# Cross build for 64-bit Arm Linux (little-endian), run under qemu-aarch64:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Needs g++-aarch64-linux-gnu, and qemu-user to run what it builds.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QZR_CROSS_TRIPLE aarch64-linux-gnu)
set(QZR_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
