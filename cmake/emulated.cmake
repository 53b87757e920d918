# The tests of a Linux cross build (cmake/debian-cross.cmake), run under
# qemu-user: GoogleTest built for the target, and before the tests a check
# that the target's programs start directly, as the tests start the program.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(FATAL_ERROR "qemu-${CMAKE_SYSTEM_PROCESSOR}-static not found to run the tests: install the Debian package "
                      "qemu-user-static, or configure with -DBUILD_TESTING=OFF")
endif()
include(cmake/googletest.cmake)

# CTest runs no test where the check fails (it tells why).
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/CTestCustom.cmake CONTENT
  "set(CTEST_CUSTOM_PRE_TEST \"\\\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/check-emulation\\\" \\\"${CMAKE_CROSSCOMPILING_EMULATOR}\\\" \\\"$<TARGET_FILE:dravelon>\\\"\")\n")
add_test(NAME emulation.CheckSaysWhyAProgramCannotRun
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/check_emulation_test.sh ${CMAKE_CURRENT_SOURCE_DIR}/cmake/check-emulation
          ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:dravelon>)
