# Cross build for IBM Z Linux (Debian's s390x, big-endian), with the compilers
# of Debian's g++-s390x-linux-gnu package (cmake/debian-cross.cmake).
set(DRAVELON_CROSS_TRIPLET s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(DRAVELON_DEBIAN_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
