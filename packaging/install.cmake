# SPDX-License-Identifier: Apache-2.0
# What `make install` puts under the prefix; debian/ splits the same files into the packages
# libzelcommon1, libzelcommon-dev and zelstats (`make package`).
include(CMakePackageConfigHelpers)

set(ZEL_PACKAGE_NAME zelstats)
set(ZEL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${ZEL_PACKAGE_NAME})
set(ZEL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zelcommon)

# Programs, libraries, headers.
install(TARGETS statsdump statsgen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET statsweb)
  install(TARGETS statsweb RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(PROGRAMS tools/statsweb-backfill DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS zelcommon zelcommon_shared EXPORT zelcommonTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
                PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${ZELCOMMON_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelcommon)

# CMake package: find_package(zelcommon 1.0 CONFIG) gives zelcommon::zelcommon (shared) and
# zelcommon::zelcommon_static.
install(EXPORT zelcommonTargets NAMESPACE zelcommon:: DESTINATION ${ZEL_CMAKEDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/packaging/zelcommonConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/zelcommonConfig.cmake
                              INSTALL_DESTINATION ${ZEL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zelcommonConfigVersion.cmake
                                 VERSION ${ZELCOMMON_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zelcommonConfig.cmake
              ${CMAKE_BINARY_DIR}/zelcommonConfigVersion.cmake
        DESTINATION ${ZEL_CMAKEDIR})

# pkg-config file, written when installing so that it names the prefix actually installed to
# (cmake --install --prefix, or /usr inside the package).
install(CODE "
  set(ZEL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(ZEL_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(ZEL_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(ZEL_PC_VERSION \"${ZELCOMMON_VERSION}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/packaging/zelcommon.pc.in\"
                 \"${CMAKE_BINARY_DIR}/pc/zelcommon.pc\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/pc/zelcommon.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Manual pages, compressed as Debian installs them; the bash completion; the unit file.
set(zel_man_gz "")
foreach(page statsdump.1 statsgen.1 statsweb.1 statsweb-backfill.1)
  if(EXISTS ${CMAKE_SOURCE_DIR}/docs/${page})
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${CMAKE_SOURCE_DIR}/docs/${page}
              ${CMAKE_BINARY_DIR}/man/${page}.gz
      DEPENDS ${CMAKE_SOURCE_DIR}/docs/${page} VERBATIM)
    list(APPEND zel_man_gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
  endif()
endforeach()
add_custom_target(man_pages ALL DEPENDS ${zel_man_gz})
install(FILES ${zel_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# One bash completion per program, docs/PROGRAM.bash-completion installed as PROGRAM (a new
# program adds its name here).
foreach(prog statsdump statsgen statsweb statsweb-backfill)
  install(FILES docs/${prog}.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${prog})
endforeach()
# (statsweb's unit file is installed by statsweb/CMakeLists.txt, naming the installed program.)

# The README beside the documentation (the Prometheus kit is among its examples, installed by
# statsweb/CMakeLists.txt).
install(FILES README.md DESTINATION ${ZEL_DOCDIR})

# The licence beside the documentation. The Debian packages carry it as debian/copyright
# instead (-DZEL_INSTALL_LICENSE=OFF in debian/rules).
option(ZEL_INSTALL_LICENSE "Install LICENSE into the documentation folder" ON)
if(ZEL_INSTALL_LICENSE)
  install(FILES LICENSE DESTINATION ${ZEL_DOCDIR})
endif()
