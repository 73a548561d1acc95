# Installs the header, the library, a CMake package (find_package(Vellomar)
# gives Vellomar::vellomar) and vellomar.pc for hosts without CMake. On
# Windows the tree is LICENSE, bin/Vellomar.dll, include/vellomar.h and lib/
# with the import libraries libVellomar.dll.a and Vellomar.lib: a folder a
# Windows developer can copy as it is.
#
# Every rule names its component, the way a Debian system splits a library:
# library (the shared library under its SONAME), development (header, CMake
# package, vellomar.pc, the unversioned .so link) and tools (the programs and
# their manual pages). cmake/package.cmake makes the packages from them.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELLOMAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vellomar)

target_include_directories(vellomar INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS vellomar EXPORT VellomarTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
    NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
if(WIN32)
  install(FILES $<TARGET_LINKER_FILE_DIR:vellomar>/Vellomar.lib
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/vellomar.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
# The licence travels with the DLL: at the Windows tree's root, so that it is
# in the zip. The Debian packages carry it as their copyright file
# (package.cmake), where lintian wants it and nowhere else.
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT library)
endif()
install(EXPORT VellomarTargets NAMESPACE Vellomar:: DESTINATION ${VELLOMAR_CMAKE_DIR}
  COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VellomarConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VellomarConfig.cmake INSTALL_DESTINATION ${VELLOMAR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VellomarConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VellomarConfig.cmake
  ${PROJECT_BINARY_DIR}/VellomarConfigVersion.cmake DESTINATION ${VELLOMAR_CMAKE_DIR}
  COMPONENT development)

# The .pc file finds its prefix from where it lies, so the tree can move.
file(RELATIVE_PATH VELLOMAR_PC_TO_PREFIX
  /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
set(VELLOMAR_PC_LIBRARY vellomar)
if(WIN32)
  set(VELLOMAR_PC_LIBRARY Vellomar) # libVellomar.dll.a
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/vellomar.pc.in ${PROJECT_BINARY_DIR}/vellomar.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vellomar.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# The tools find the library beside them in the installed tree, wherever it
# is unpacked. Their manual pages are stored compressed, as man expects.
if(NOT WIN32)
  find_program(VELLOMAR_GZIP gzip REQUIRED)
endif()
foreach(tool vellomar-dump vellomar-mark)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    if(NOT WIN32)
      set(page ${PROJECT_BINARY_DIR}/man/${tool}.1.gz)
      add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${VELLOMAR_GZIP} -9nc ${PROJECT_SOURCE_DIR}/tools/${tool}.1 > ${page}
        DEPENDS ${PROJECT_SOURCE_DIR}/tools/${tool}.1)
      add_custom_target(${tool}-manual ALL DEPENDS ${page})
      install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
    endif()
  endif()
endforeach()
