# What `cmake --install` installs and scripts/package packs into
# korvel_<version>_amd64.deb: the delivered programs, the shared libraries
# with their public headers, the access library's CMake package
# configuration and pkg-config file, the man pages and the sample freeze
# hook. The simulator, the demo and the tests are not installed.
include(CMakePackageConfigHelpers)
# Named after the package, as Debian wants it.
set(KORVEL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvel)

# The libraries find each other beside themselves, wherever the tree is installed.
set_target_properties(KorvelAccessLibrary Logger NodeFacts PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS KorvelProvider KorvelShadow KorvelRegTool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS KorvelAccessLibrary Logger KorvelPlatformHeaders EXPORT KorvelAccessLibraryTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS NodeFacts LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES src/vss/KorvelAccessLibrary/KorvelAccessLibrary.h src/vss/include/Logger.h src/vss/include/NodeFacts.h
              ${KORVEL_PLATFORM_DIR}/export.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvel)

# find_package(KorvelAccessLibrary) gives the imported target
# Korvel::KorvelAccessLibrary (which brings Korvel::Logger along).
set(KORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KorvelAccessLibrary)
install(EXPORT KorvelAccessLibraryTargets NAMESPACE Korvel:: DESTINATION ${KORVEL_CMAKE_DIR})
configure_package_config_file(cmake/KorvelAccessLibraryConfig.cmake.in
  ${CMAKE_BINARY_DIR}/KorvelAccessLibraryConfig.cmake INSTALL_DESTINATION ${KORVEL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/KorvelAccessLibraryConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/KorvelAccessLibraryConfig.cmake
              ${CMAKE_BINARY_DIR}/KorvelAccessLibraryConfigVersion.cmake
        DESTINATION ${KORVEL_CMAKE_DIR})
# The .pc file finds its prefix from where it lies, so the one file serves
# /usr/local and the package's /usr alike.
file(RELATIVE_PATH KORVEL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(cmake/KorvelAccessLibrary.pc.in ${CMAKE_BINARY_DIR}/KorvelAccessLibrary.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/KorvelAccessLibrary.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Man pages from the programs' own --help. Not in the sanitizer build, whose
# programs are not for installing.
find_program(KORVEL_HELP2MAN help2man)
set(KORVEL_MAN_NAME_KorvelShadow "take, expose, release, roll back and delete hardware shadow copies")
set(KORVEL_MAN_NAME_KorvelProvider "the Korvel hardware snapshot provider service")
if(KORVEL_HELP2MAN AND NOT KORVEL_SANITIZE)
  set(KORVEL_MAN_PAGES "")
  foreach(program KorvelShadow KorvelProvider)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${KORVEL_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
              --name=${KORVEL_MAN_NAME_${program}} --output=${page} $<TARGET_FILE:${program}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${program} VERBATIM)
    list(APPEND KORVEL_MAN_PAGES ${page}.gz)
  endforeach()
  add_custom_target(korvel_man_pages ALL DEPENDS ${KORVEL_MAN_PAGES})
  install(FILES ${KORVEL_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "No man pages: help2man missing or a sanitizer build")
endif()

# The sample freeze hooks, whenever the tree has them (looked for at install
# time, so a folder added later needs no new configuration).
install(DIRECTORY examples/freeze-hook.d/ DESTINATION ${KORVEL_DOCDIR}/examples/freeze-hook.d OPTIONAL)
# Debian's documentation of every package: copyright and the compressed changelog.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
add_custom_target(korvel_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES cmake/debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${KORVEL_DOCDIR})
# What lintian warns of and why it stays: see the file.
install(FILES cmake/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME korvel)

# ---- The Debian package (CPack's DEB generator; scripts/package runs it).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Korvel developers <korvel@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hardware snapshots of volumes on Quellstore storage appliances")
# The summary above is the synopsis line; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Korvel takes, exposes, rolls back and deletes hardware snapshots of volumes
that live on Quellstore storage appliances (QSTA). The package holds the
snapshot provider service KorvelProvider, the shadow copy command
KorvelShadow, the registration tool KorvelRegTool and the access library
with its headers, CMake package configuration and pkg-config file.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://korvel.example.com/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries are in the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/prerm
    ${PROJECT_SOURCE_DIR}/cmake/debian/postrm ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
