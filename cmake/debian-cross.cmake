# Cross build for another Linux processor with Debian's cross compilers
# (g++-<triplet>), the target's programs run under qemu-user. Included by a
# toolchain file that sets DRAVELON_CROSS_TRIPLET, CMAKE_SYSTEM_PROCESSOR
# (as qemu names the processor) and DRAVELON_DEBIAN_ARCH.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${DRAVELON_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DRAVELON_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${DRAVELON_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest starts the test programs under qemu; the programs they start in turn
# are run by the kernel through qemu's binfmt handler (scripts/setup-emulation).
find_program(DRAVELON_QEMU qemu-${CMAKE_SYSTEM_PROCESSOR}-static)
if(DRAVELON_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DRAVELON_QEMU})
endif()
