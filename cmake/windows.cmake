# The Windows build: ntdll for the listing, the program's manifest, GoogleTest
# built from source when cross-compiling (cmake/googletest.cmake), and Wine as
# the test programs' emulator.

# The listing opens folders and lists them through ntdll; the argument is
# read from the command line with shell32's CommandLineToArgvW.
target_link_libraries(dravelon_core PRIVATE ntdll shell32)

enable_language(RC)
target_sources(dravelon PRIVATE src/dravelon.rc)
# windres looks up the manifest named in the .rc file on its include path.
set_property(SOURCE src/dravelon.rc APPEND PROPERTY INCLUDE_DIRECTORIES ${CMAKE_CURRENT_SOURCE_DIR}/src)
# The version resource carries the project's version: FILEVERSION and
# PRODUCTVERSION in four numbers (missing ones are 0), the texts as written in
# project().
set(version_numbers)
foreach(part MAJOR MINOR PATCH TWEAK)
  if(PROJECT_VERSION_${part} STREQUAL "")
    list(APPEND version_numbers DRAVELON_VERSION_${part}=0)
  else()
    list(APPEND version_numbers DRAVELON_VERSION_${part}=${PROJECT_VERSION_${part}})
  endif()
endforeach()
set_property(SOURCE src/dravelon.rc APPEND PROPERTY COMPILE_DEFINITIONS
  ${version_numbers} DRAVELON_VERSION=${PROJECT_VERSION})

if(NOT BUILD_TESTING)
  return()
endif()

add_test(NAME windows.SystemDllsOnly
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DPROGRAM=$<TARGET_FILE:dravelon>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/check-dlls.cmake)

if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

include(cmake/googletest.cmake)

# Every test program runs under Wine, in a prefix inside the build tree.
# CTest creates the prefix and starts one persistent wineserver before the
# tests (test discovery included) and stops it afterwards.
set(DRAVELON_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_SOURCE_DIR}/cmake/wine-run ${DRAVELON_WINE_PREFIX})
endif()
# Wine gives a program a console when its streams are a terminal; this test
# runs on the Linux side, under script(1). A helper shows it exactly what the
# program gave the console.
add_executable(dravelon_console_capture tests/console_capture.cpp)
target_link_libraries(dravelon_console_capture PRIVATE dravelon_warnings)
target_link_options(dravelon_console_capture PRIVATE -municode)
add_test(NAME windows.ConsoleShowsTurkishAndProgress
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/windows_console.sh ${CMAKE_CURRENT_SOURCE_DIR}/cmake/wine-run
          ${DRAVELON_WINE_PREFIX} $<TARGET_FILE:dravelon> $<TARGET_FILE:dravelon_console_capture>)
set_tests_properties(windows.ConsoleShowsTurkishAndProgress PROPERTIES TIMEOUT 60)
add_test(NAME windows.WineRunOutlivesItsServer
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine_run_test.sh ${CMAKE_CURRENT_SOURCE_DIR}/cmake/wine-run ${DRAVELON_WINE_PREFIX})
set_tests_properties(windows.WineRunOutlivesItsServer PROPERTIES TIMEOUT 60 RUN_SERIAL TRUE)

file(WRITE ${CMAKE_BINARY_DIR}/CTestCustom.cmake
  "set(CTEST_CUSTOM_PRE_TEST \"\\\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/wine-run\\\" \\\"${DRAVELON_WINE_PREFIX}\\\" start\")\n"
  "set(CTEST_CUSTOM_POST_TEST \"\\\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/wine-run\\\" \\\"${DRAVELON_WINE_PREFIX}\\\" stop\")\n")
