# Cross build for IBM Z Linux, a big-endian machine, run under qemu-s390x:
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
# Needs g++-s390x-linux-gnu, and qemu-user to run what it builds.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QZR_CROSS_TRIPLE s390x-linux-gnu)
set(QZR_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
