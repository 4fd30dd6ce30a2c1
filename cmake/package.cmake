# Install rules and the qzsvc CMake package: find_package(qzsvc) gives
# qzsvc::foundation and, in Windows builds, qzsvc::service.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Headers go under include/qzsvc so that "foundation/string.h" keeps its
# folder without putting a folder named foundation next to other packages.
set(QZ_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qzsvc)
set(QZ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/qzsvc)

set(QZ_PACKAGE_TARGETS qz_foundation)
install(FILES
  foundation/string.h foundation/lists.h foundation/sync.h foundation/process_info.h
  foundation/log_file.h
  DESTINATION ${QZ_INSTALL_INCLUDEDIR}/foundation)
if(TARGET qz_service)
  list(APPEND QZ_PACKAGE_TARGETS qz_service)
  install(FILES
    service/svc_app.h service/svc_obj.h service/event_log.h service/scm_manager.h
    DESTINATION ${QZ_INSTALL_INCLUDEDIR}/service)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/qzsvc_add_service.cmake
    DESTINATION ${QZ_INSTALL_CMAKEDIR})
endif()

install(TARGETS ${QZ_PACKAGE_TARGETS} EXPORT qzsvcTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${QZ_INSTALL_INCLUDEDIR})
install(EXPORT qzsvcTargets NAMESPACE qzsvc:: DESTINATION ${QZ_INSTALL_CMAKEDIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qzsvcConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfig.cmake
  INSTALL_DESTINATION ${QZ_INSTALL_CMAKEDIR})
# Before 1.0 a minor version may break the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/qzsvcConfigVersion.cmake
  DESTINATION ${QZ_INSTALL_CMAKEDIR})
