# Cross build for 64-bit Arm Linux (Debian's arm64), with the compilers of
# Debian's g++-aarch64-linux-gnu package (cmake/debian-cross.cmake).
set(DRAVELON_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(DRAVELON_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
