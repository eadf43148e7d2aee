# Version header, installation (executable, library, headers, CMake package,
# pkg-config file, man page) and the tests of what gets installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

target_include_directories(dispsmooth_core PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# Installed as libdispsmooth.a and imported as dispsmooth::core.
set_target_properties(dispsmooth_core PROPERTIES OUTPUT_NAME dispsmooth EXPORT_NAME core)

install(TARGETS dispsmooth-batch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS dispsmooth dispsmooth_core EXPORT dispsmoothTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
set(DISPSMOOTH_PUBLIC_HEADERS
  ${PROJECT_SOURCE_DIR}/include/dispsmooth/disparity_io.hpp
  ${PROJECT_SOURCE_DIR}/include/dispsmooth/dispsmooth.hpp
  ${PROJECT_SOURCE_DIR}/include/dispsmooth/driver.h
  ${PROJECT_SOURCE_DIR}/include/dispsmooth/jpeg_codec.h
  ${PROJECT_SOURCE_DIR}/include/dispsmooth/png_codec.h
  ${PROJECT_SOURCE_DIR}/include/dispsmooth/smoothing.h
  ${PROJECT_SOURCE_DIR}/include/dispsmooth/tiff_codec.h)
install(FILES ${DISPSMOOTH_PUBLIC_HEADERS} ${DISPSMOOTH_GENERATED_INCLUDE}/dispsmooth/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dispsmooth)

set(DISPSMOOTH_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dispsmooth)
install(EXPORT dispsmoothTargets NAMESPACE dispsmooth:: DESTINATION ${DISPSMOOTH_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/dispsmoothConfig.cmake.in
  ${PROJECT_BINARY_DIR}/dispsmoothConfig.cmake INSTALL_DESTINATION ${DISPSMOOTH_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dispsmoothConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dispsmoothConfig.cmake
              ${PROJECT_BINARY_DIR}/dispsmoothConfigVersion.cmake
  DESTINATION ${DISPSMOOTH_CMAKE_DIR})

# pkg-config: the prefix is found from where the file lies (${pcfiledir}),
# so the file stays right under any `cmake --install --prefix`.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(DISPSMOOTH_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(DISPSMOOTH_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH DISPSMOOTH_PC_UP /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
  string(REGEX REPLACE "/$" "" DISPSMOOTH_PC_UP "${DISPSMOOTH_PC_UP}")
  set(DISPSMOOTH_PC_PREFIX "\${pcfiledir}/${DISPSMOOTH_PC_UP}")
  set(DISPSMOOTH_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(DISPSMOOTH_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(DISPSMOOTH_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/dispsmooth.pc.in ${PROJECT_BINARY_DIR}/dispsmooth.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dispsmooth.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/docs/dispsmooth.1 ${PROJECT_SOURCE_DIR}/docs/dispsmooth-batch.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(DISPSMOOTH_BUILD_TESTS)
  # The man page renders without a single warning.
  add_test(NAME man_page_renders
    COMMAND ${CMAKE_COMMAND} -DMAN_PAGE=${PROJECT_SOURCE_DIR}/docs/dispsmooth.1
            -P ${PROJECT_SOURCE_DIR}/tests/render_man_page.cmake)
  set_tests_properties(man_page_renders PROPERTIES SKIP_RETURN_CODE 77 LABELS docs)
  add_test(NAME batch_man_page_renders
    COMMAND ${CMAKE_COMMAND} -DMAN_PAGE=${PROJECT_SOURCE_DIR}/docs/dispsmooth-batch.1
            -P ${PROJECT_SOURCE_DIR}/tests/render_man_page.cmake)
  set_tests_properties(batch_man_page_renders PROPERTIES SKIP_RETURN_CODE 77 LABELS docs)

  # Install into a scratch prefix, then build and run a separate project
  # against it, through find_package and through pkg-config.  The sanitizer
  # build's library needs the sanitizer runtime, so this runs in plain builds.
  if(NOT DISPSMOOTH_SANITIZE)
    add_test(NAME install_and_consume
      COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
              -DCONSUMER_DIR=${PROJECT_SOURCE_DIR}/tests/consumer
              -DWORK_DIR=${PROJECT_BINARY_DIR}/install-test
              -DCXX=${CMAKE_CXX_COMPILER}
              -P ${PROJECT_SOURCE_DIR}/tests/install_and_consume.cmake)
    set_tests_properties(install_and_consume PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE
                                                         LABELS "install;slow")
  endif()
endif()
