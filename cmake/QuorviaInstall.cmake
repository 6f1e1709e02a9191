# Installs libQuorvia with its soname links, include/quorvia.h, the programs,
# the CMake package (find_package(Quorvia) gives Quorvia::Quorvia) and quorvia.pc.
# Components: Runtime (the library file and the programs) and Development
# (header, the libQuorvia.so link, CMake package, pkg-config file).
include(CMakePackageConfigHelpers)

set(QV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorvia)
set(qv_package_build_dir ${PROJECT_BINARY_DIR}/package)

install(TARGETS Quorvia EXPORT QuorviaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(FILES ${PROJECT_SOURCE_DIR}/include/quorvia.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
if(QV_BUILD_PROGRAMS)
  install(TARGETS QuorviaDemo quorvia-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
endif()

# ---- CMake package
install(EXPORT QuorviaTargets NAMESPACE Quorvia::
  DESTINATION ${QV_CMAKE_PACKAGE_DIR} COMPONENT Development)

# A shared libQuorvia carries its dependencies itself; a static one would need
# the consumer to find them again.
get_target_property(qv_library_type Quorvia TYPE)
if(qv_library_type STREQUAL "STATIC_LIBRARY")
  set(QV_PACKAGE_DEPENDENCIES "${QV_CONFIG_DEPENDENCIES}")
else()
  set(QV_PACKAGE_DEPENDENCIES "")
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuorviaConfig.cmake.in
  ${qv_package_build_dir}/QuorviaConfig.cmake
  INSTALL_DESTINATION ${QV_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${qv_package_build_dir}/QuorviaConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${qv_package_build_dir}/QuorviaConfig.cmake ${qv_package_build_dir}/QuorviaConfigVersion.cmake
  DESTINATION ${QV_CMAKE_PACKAGE_DIR} COMPONENT Development)

# ---- pkg-config
# The prefix is written when the files are installed, since
# `cmake --install --prefix` may choose another one than the build was
# configured with; everything else is filled in now.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QV_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QV_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(QV_PC_PREFIX "@QV_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quorvia.pc.in ${qv_package_build_dir}/quorvia.pc.in @ONLY)
install(CODE "
  set(QV_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${qv_package_build_dir}/quorvia.pc.in\" \"${qv_package_build_dir}/quorvia.pc\" @ONLY)
  " COMPONENT Development)
install(FILES ${qv_package_build_dir}/quorvia.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
