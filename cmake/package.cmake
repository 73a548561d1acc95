# Packages, made by CPack from the install rules' components (see
# install.cmake), so that no file is listed twice.
#
# Linux: three Debian packages split as Debian splits a library (cpack -G
# DEB), and one .tar.gz of the whole install tree (cpack -G TGZ). Configure
# with CMAKE_INSTALL_PREFIX=/usr (the "package" preset), so that the library
# lands in Debian's multiarch folder. Windows: one .zip of the install tree,
# from any Windows build folder.
set(CPACK_PACKAGE_NAME vellomar)
set(CPACK_PACKAGE_VENDOR "The Vellomar developers")
set(CPACK_PACKAGE_CONTACT "Vellomar maintainers <vellomar@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reads a text file into an indexed table of strings")
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Nothing is stripped while packing: the binaries are stripped when they are
# linked (the Windows builds, and the "package" preset on Linux), so that
# each shipped one is byte for byte the file its build made; strip on a
# Windows binary would write the time of packing into its header.
set(CPACK_STRIP_FILES OFF)
# Every file in a package carries the time of the commit it was built from
# (SOURCE_DATE_EPOCH, where the environment gives none), not the time of
# packing, so that two packings of one commit give the same bytes. CPack
# reads the variable from its own environment, which this script, run by
# cpack before it packs, sets.
execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE commitTime OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT commitTime MATCHES "^[0-9]+$")
  set(commitTime 0) # a source tree outside git: 1970, the same every time
endif()
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackSourceDate.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
     "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${commitTime})
endif()
")
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF) # one archive of the whole tree
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The tools' own library is found in the build, to be told apart from the
# system's; the tools' package depends on its package by name (below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

# A cross build (the "package-arm64" preset) packs for its target's Debian
# architecture, which dpkg-architecture names from the compiler's multiarch
# triplet (aarch64-linux-gnu: arm64). dpkg-shlibdeps reads its dependencies
# from the packages dpkg has installed for that architecture: on a machine
# with the target's C library as a package of its own (multiarch: libc6:arm64,
# which tools/check.sh installs) that works as natively. With only the cross
# compiler's libraries, whose packages name what a cross toolchain needs
# (libc6-arm64-cross), not what an arm64 system has, the packages get no
# dependencies on the C and C++ libraries, and configuring says so. The
# archive is named for the processor: vellomar-1.0.0-Linux-aarch64.tar.gz.
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
  execute_process(COMMAND dpkg-query -W libc6:${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} libstdc++6:${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}
                  RESULT_VARIABLE noTargetLibraries OUTPUT_QUIET ERROR_QUIET)
  if(noTargetLibraries)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    message(STATUS "Debian packages for ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}, cross-built: "
                   "no dependencies on the C and C++ libraries (libc6:${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} "
                   "is not installed)")
  endif()
endif()

set(packages
  library libvellomar${PROJECT_VERSION_MAJOR} libs
  "Vellomar: ${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\nThe shared library with its one call, StringTable: it reads a text file whole\ninto the caller's buffer, restores marked files, and fills a table with the\nlengths of the text's lines or records."
  development libvellomar-dev libdevel
  "Vellomar: development files\nThe header vellomar.h, the CMake package (find_package(Vellomar)), the\npkg-config file vellomar.pc and the link to the shared library."
  tools vellomar-tools utils
  "Vellomar: vellomar-dump and vellomar-mark\nvellomar-dump prints the table that StringTable builds for a file, with\nwarnings about what the table cannot show. vellomar-mark writes marked\nfiles.")
set(CPACK_COMPONENTS_ALL "")
while(packages)
  list(POP_FRONT packages component name section description)
  # Built without its tools, Vellomar has no tools package to make.
  if(component STREQUAL "tools" AND NOT VELLOMAR_BUILD_TOOLS)
    continue()
  endif()
  string(TOUPPER ${component} upper)
  list(APPEND CPACK_COMPONENTS_ALL ${component})
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${description}")

  # What Debian wants beside every package's files: its copyright and a
  # changelog, compressed.
  set(doc ${PROJECT_BINARY_DIR}/debian/${name})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${doc}/changelog @ONLY)
  add_custom_command(OUTPUT ${doc}/changelog.gz
    COMMAND ${VELLOMAR_GZIP} -9nf ${doc}/changelog
    DEPENDS ${doc}/changelog)
  add_custom_target(${name}-changelog ALL DEPENDS ${doc}/changelog.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${doc}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name} COMPONENT ${component})
endwhile()
# Both others need the library of this very version.
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
set(CPACK_COMPONENT_TOOLS_DEPENDS library)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# ldconfig runs through the trigger, once per dpkg run.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
