# Install rules: the library, its public headers (include/dvews/), the CMake package
# (lib/cmake/dvews/) and the pkg-config file (lib/pkgconfig/dvews.pc). The programs install
# themselves (tools/*/CMakeLists.txt).
include(CMakePackageConfigHelpers)

set(DVEWS_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/dvews CACHE STRING
  "Where the CMake package files go, relative to the prefix")
mark_as_advanced(DVEWS_INSTALL_CMAKEDIR)

install(TARGETS dvews EXPORT dvewsTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${DVEWS_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dvews)
install(EXPORT dvewsTargets NAMESPACE dvews:: DESTINATION ${DVEWS_INSTALL_CMAKEDIR})

get_target_property(_dvews_type dvews TYPE)
if(_dvews_type STREQUAL "SHARED_LIBRARY")
  set(DVEWS_SHARED ON)
else()
  set(DVEWS_SHARED OFF)
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/dvewsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/dvewsConfig.cmake INSTALL_DESTINATION ${DVEWS_INSTALL_CMAKEDIR})
# Any 0.x release may break the interface, so while the major version is 0 only the same minor
# version is compatible; from 1.0 on, the same major version.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(_dvews_compat SameMinorVersion)
else()
  set(_dvews_compat SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/dvewsConfigVersion.cmake
  COMPATIBILITY ${_dvews_compat})
install(FILES ${PROJECT_BINARY_DIR}/cmake/dvewsConfig.cmake
  ${PROJECT_BINARY_DIR}/cmake/dvewsConfigVersion.cmake DESTINATION ${DVEWS_INSTALL_CMAKEDIR})

# The .pc file finds its prefix from its own place (${pcfiledir}), so the installed tree can be
# moved, or installed with `cmake --install --prefix`, after configuration.
set(_dvews_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${_dvews_pcdir})
  set(DVEWS_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  set(DVEWS_PC_PREFIX "\${pcfiledir}")
  string(REGEX REPLACE "[^/]+" ".." _up ${_dvews_pcdir})
  string(APPEND DVEWS_PC_PREFIX "/${_up}")
endif()
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE ${CMAKE_INSTALL_${_dir}})
    set(DVEWS_PC_${_dir} ${CMAKE_INSTALL_${_dir}})
  else()
    set(DVEWS_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/dvews.pc.in ${PROJECT_BINARY_DIR}/cmake/dvews.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cmake/dvews.pc DESTINATION ${_dvews_pcdir})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
