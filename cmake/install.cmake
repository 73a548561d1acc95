# Installs the header, the library, a CMake package (find_package(Vellomar)
# gives Vellomar::vellomar) and vellomar.pc for hosts without CMake. On
# Windows the tree is bin/Vellomar.dll, include/vellomar.h and lib/ with the
# import libraries libVellomar.dll.a and Vellomar.lib: a folder a Windows
# developer can copy as it is.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELLOMAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vellomar)

target_include_directories(vellomar INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS vellomar EXPORT VellomarTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(WIN32)
  install(FILES $<TARGET_LINKER_FILE_DIR:vellomar>/Vellomar.lib
    DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/vellomar.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VellomarTargets NAMESPACE Vellomar:: DESTINATION ${VELLOMAR_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VellomarConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VellomarConfig.cmake INSTALL_DESTINATION ${VELLOMAR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VellomarConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VellomarConfig.cmake
  ${PROJECT_BINARY_DIR}/VellomarConfigVersion.cmake DESTINATION ${VELLOMAR_CMAKE_DIR})

# The .pc file finds its prefix from where it lies, so the tree can move.
file(RELATIVE_PATH VELLOMAR_PC_TO_PREFIX
  /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
set(VELLOMAR_PC_LIBRARY vellomar)
if(WIN32)
  set(VELLOMAR_PC_LIBRARY Vellomar) # libVellomar.dll.a
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/vellomar.pc.in ${PROJECT_BINARY_DIR}/vellomar.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vellomar.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The tools find the library beside them in the installed tree.
foreach(tool vellomar-dump vellomar-mark)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
