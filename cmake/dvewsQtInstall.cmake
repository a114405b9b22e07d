# Install rules of the Qt dialog module: the library, its header (include/dvews/qt/) and its own
# CMake package (lib/cmake/dvews-qt/), found with find_package(dvews-qt) beside dvews.
include(CMakePackageConfigHelpers)

set(DVEWS_QT_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/dvews-qt CACHE STRING
  "Where the Qt module's CMake package files go, relative to the prefix")
mark_as_advanced(DVEWS_QT_INSTALL_CMAKEDIR)

install(TARGETS dvews-qt EXPORT dvews-qtTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/ui/qt/include/dvews/qt/DvEWSQtDialogs.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dvews/qt)
install(EXPORT dvews-qtTargets NAMESPACE dvews:: DESTINATION ${DVEWS_QT_INSTALL_CMAKEDIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/dvews-qtConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/dvews-qtConfig.cmake INSTALL_DESTINATION ${DVEWS_QT_INSTALL_CMAKEDIR})
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(_dvews_qt_compat SameMinorVersion)
else()
  set(_dvews_qt_compat SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/dvews-qtConfigVersion.cmake
  COMPATIBILITY ${_dvews_qt_compat})
install(FILES ${PROJECT_BINARY_DIR}/cmake/dvews-qtConfig.cmake
  ${PROJECT_BINARY_DIR}/cmake/dvews-qtConfigVersion.cmake DESTINATION ${DVEWS_QT_INSTALL_CMAKEDIR})
