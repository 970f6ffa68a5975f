# What `cmake --install` puts under the prefix, and how a host finds it:
#
#   lib/libTraderHVR.so.1        the module (versioned soname, symlinks as built)
#   include/traderhvr/*.h        the host headers
#   lib/cmake/TraderHVR/         find_package(TraderHVR CONFIG): the interface
#                                target TraderHVR::host and TraderHVR_MODULE
#   lib/pkgconfig/traderhvr.pc   pkg-config: --cflags and the variable module
#   bin/hvr-sim, bin/hvr-host    the tools, when they are built
#   share/doc/TraderHVR/         log-lines.md: every log line and error text
#                                the module sends, with its meaning
#
# The module itself is not an exported target: a host never links it, it
# loads it with dlopen from the full path the package gives.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(HVR_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
set(HVR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/TraderHVR)
set(HVR_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The file a host dlopens: the soname link, which follows compatible updates.
set(HVR_MODULE_FILE_NAME libTraderHVR.so.${PROJECT_VERSION_MAJOR})
set(HVR_INSTALL_MODULE ${CMAKE_INSTALL_LIBDIR}/${HVR_MODULE_FILE_NAME})

install(TARGETS TraderHVR
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/
  DESTINATION ${HVR_INSTALL_INCLUDEDIR}/traderhvr
  COMPONENT development
  FILES_MATCHING PATTERN "*.h")

install(FILES ${PROJECT_SOURCE_DIR}/docs/log-lines.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT development)

# TraderHVR::host: the headers and the C++ standard they need (C++14, for
# std::make_unique; later standards work as well).
add_library(hvr_host_interface INTERFACE)
set_target_properties(hvr_host_interface PROPERTIES EXPORT_NAME host)
target_include_directories(hvr_host_interface INTERFACE $<INSTALL_INTERFACE:${HVR_INSTALL_INCLUDEDIR}>)
target_compile_features(hvr_host_interface INTERFACE cxx_std_14)
install(TARGETS hvr_host_interface EXPORT TraderHVRTargets)
install(EXPORT TraderHVRTargets
  NAMESPACE TraderHVR::
  DESTINATION ${HVR_INSTALL_CMAKEDIR}
  COMPONENT development)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/TraderHVRConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TraderHVRConfig.cmake
  INSTALL_DESTINATION ${HVR_INSTALL_CMAKEDIR}
  PATH_VARS HVR_INSTALL_MODULE)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/TraderHVRConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/TraderHVRConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TraderHVRConfigVersion.cmake
  DESTINATION ${HVR_INSTALL_CMAKEDIR}
  COMPONENT development)

# pkg-config: paths relative to the .pc file, so the prefix given to
# `cmake --install --prefix` need not be known when configuring.
file(RELATIVE_PATH HVR_PC_TO_PREFIX
  /prefix/${HVR_INSTALL_PKGCONFIGDIR} /prefix)
string(REGEX REPLACE "/$" "" HVR_PC_TO_PREFIX "${HVR_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/traderhvr.pc.in ${CMAKE_CURRENT_BINARY_DIR}/traderhvr.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/traderhvr.pc
  DESTINATION ${HVR_INSTALL_PKGCONFIGDIR}
  COMPONENT development)

if(TARGET hvr-sim)
  install(TARGETS hvr-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
if(TARGET hvr-host)
  install(TARGETS hvr-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
