# Packages made with CPack from a build tree (`cpack` in it):
#   Linux    dravelon_<version>_<arch>.deb: the program in /usr/bin, the manual
#            page, the README, the walk's document and the changelog,
#            compressed as Debian wants them, and the copyright file
#   Windows  dravelon-<version>-win64.zip: dravelon.exe, the README and the
#            copyright file at the zip's root
# The version is the project's. Two packages made from one commit are the
# same bytes: every file in them bears the time of the commit
# (SOURCE_DATE_EPOCH, unless it is set already), and the programs hold no
# build folder and no time of their own.

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Dravelon")
set(CPACK_PACKAGE_CONTACT "Dravelon maintainers <maintainers@users.noreply.c-seed-591cded6.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "report files with suspicious extensions in a directory tree")
set(CPACK_PACKAGE_DESCRIPTION [[
Dravelon walks a directory tree, or looks at one file, and reports the files
whose extension marks them as suspicious (.scr screen savers and .pif program
information files), while it steps around the operating system's protected
folders and counts everything it met. It never opens a file and writes no
files.]])
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip has a layout of its own: the program and the README side by side
  # at its root. These rules belong to the zip alone, so an ordinary install
  # of the build tree keeps its bin/ folder, and nothing else of the build
  # (GoogleTest, the test programs) can reach the zip.
  install(TARGETS dravelon RUNTIME DESTINATION . COMPONENT zip EXCLUDE_FROM_ALL)
  install(FILES README.md docs/copyright DESTINATION . COMPONENT zip EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};zip;/")
else()
  include(GNUInstallDirs)
  # Debian installs manual pages and larger documents compressed with
  # "gzip -9n" (no name, no time stamp, so the result depends on the text
  # alone).
  find_program(DRAVELON_GZIP gzip REQUIRED)
  set(compressed)
  foreach(document docs/dravelon.1 README.md docs/walk.md docs/changelog)
    get_filename_component(name ${document} NAME)
    set(copy ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name})
    add_custom_command(OUTPUT ${copy}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${document} ${copy}
      COMMAND ${DRAVELON_GZIP} -9nf ${copy}
      DEPENDS ${document}
      COMMENT "Compressing ${document}"
      VERBATIM)
    list(APPEND compressed ${copy}.gz)
  endforeach()
  add_custom_target(dravelon_documents ALL DEPENDS ${compressed})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/dravelon.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/README.md.gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/walk.md.gz
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Debian's machine-readable copyright file, never compressed.
  install(FILES docs/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # glibc checks a call at run time only where the compiler cannot prove it
  # within bounds. The program's one call that lintian looks for, poll() on a
  # single descriptor, is proven so, and lintian takes that for a build
  # without fortification.
  file(CONFIGURE OUTPUT packaging/lintian-overrides CONTENT [[
# poll() on one descriptor is proven within bounds when compiled.
dravelon: hardening-no-fortify-functions [usr/bin/dravelon]
]])
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME dravelon)
  # strip leaves the compiler's .comment section, which a Debian package's
  # programs do without.
  install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:dravelon>\"
    COMMAND_ERROR_IS_FATAL ANY)")

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends is worked out from the program's shared libraries (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A cross build's package is for its target (cmake/debian-cross.cmake).
  # dpkg-shlibdeps finds the target's libraries, and their symbols, in the
  # target's own packages installed beside this machine's (libc6:arm64 and the
  # like, multiarch, scripts/setup-emulation): Debian's cross packages would
  # name themselves, not packages an arm64 machine has.
  if(CMAKE_CROSSCOMPILING)
    if(NOT DRAVELON_DEBIAN_ARCH)
      message(FATAL_ERROR "a cross build's toolchain file must set DRAVELON_DEBIAN_ARCH, the package's architecture")
    endif()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DRAVELON_DEBIAN_ARCH})
  endif()
endif()

# The time of the last commit, asked of git when cpack runs.
find_package(Git QUIET)
configure_file(cmake/cpack-project.cmake.in cpack-project.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack-project.cmake)

include(CPack)
