# GoogleTest for a cross build, which finds no GoogleTest library for its
# target system: built from the sources that Debian's googletest package
# installs, with the project's compiler and flags.
set(DRAVELON_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
if(NOT EXISTS ${DRAVELON_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${DRAVELON_GOOGLETEST_SOURCE_DIR}: install the Debian package googletest")
endif()
set(BUILD_GMOCK OFF)
set(INSTALL_GTEST OFF)
add_subdirectory(${DRAVELON_GOOGLETEST_SOURCE_DIR} googletest EXCLUDE_FROM_ALL)
set_target_properties(gtest gtest_main PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
