# Installing the library the way C libraries are: the shared library with
# its soname, the header, the tool, the man page, the licence, a CMake
# package giving zipfolder::zipfolder and a pkg-config file. Both package
# files find the rest relative to themselves, so the tree may be installed
# under any prefix (cmake --install build --prefix P) and moved afterwards.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS zipfolder EXPORT zipfolderTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zipfolder_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/zipfolder.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES docs/zipfolder.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(ZIPFOLDER_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zipfolder)
install(EXPORT zipfolderTargets NAMESPACE zipfolder:: DESTINATION ${ZIPFOLDER_CMAKE_DIR})
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/zipfolderConfig.cmake
  "include(\"\${CMAKE_CURRENT_LIST_DIR}/zipfolderTargets.cmake\")\n")
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zipfolderConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zipfolderConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/zipfolderConfigVersion.cmake DESTINATION ${ZIPFOLDER_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own place.
set(ZIPFOLDER_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH ZIPFOLDER_PC_TO_PREFIX /root/${ZIPFOLDER_PC_DIR} /root)
configure_file(cmake/zipfolder.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zipfolder.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zipfolder.pc DESTINATION ${ZIPFOLDER_PC_DIR})
