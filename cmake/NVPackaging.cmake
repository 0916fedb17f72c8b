# The Debian package: `cpack -G DEB` in a build configured with
# CMAKE_INSTALL_PREFIX=/usr (scripts/package.sh does both and runs lintian).
# Run-time dependencies only: the shared libraries come from dpkg-shlibdeps,
# the tools the updater starts are listed by hand (tar and gzip are essential
# packages, which nothing may depend on).

# The manual pages, compressed as Debian wants them.
set(NV_MAN_PAGES velkin-software-update.1 nvsu-release.1)
set(NV_COMPRESSED_MAN_PAGES "")
foreach(page IN LISTS NV_MAN_PAGES)
  set(compressed "${CMAKE_BINARY_DIR}/man/${page}.gz")
  add_custom_command(OUTPUT "${compressed}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/man"
    COMMAND gzip -9 -n -c "${PROJECT_SOURCE_DIR}/docs/man/${page}" > "${compressed}"
    DEPENDS "${PROJECT_SOURCE_DIR}/docs/man/${page}" VERBATIM)
  list(APPEND NV_COMPRESSED_MAN_PAGES "${compressed}")
endforeach()
add_custom_target(man-pages ALL DEPENDS ${NV_COMPRESSED_MAN_PAGES})
install(FILES ${NV_COMPRESSED_MAN_PAGES} DESTINATION share/man/man1 PERMISSIONS ${NV_FILE_MODE})

set(NV_DOC_DIR "share/doc/velkin-software-update")
set(NV_CHANGELOG "${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz")
add_custom_command(OUTPUT "${NV_CHANGELOG}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/packaging"
  COMMAND gzip -9 -n -c "${PROJECT_SOURCE_DIR}/packaging/changelog" > "${NV_CHANGELOG}"
  DEPENDS "${PROJECT_SOURCE_DIR}/packaging/changelog" VERBATIM)
add_custom_target(package-changelog ALL DEPENDS "${NV_CHANGELOG}")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" "${NV_CHANGELOG}" DESTINATION "${NV_DOC_DIR}"
        PERMISSIONS ${NV_FILE_MODE})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkin-software-update)
set(CPACK_PACKAGE_VENDOR "Norvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Norvane Velkin team <velkin-updates@norvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps the Velkin desktop application up to date")
set(CPACK_PACKAGE_DESCRIPTION "A small helper that the Velkin application starts with a URL command. It
checks an HTTPS feed of versions, shows the best update with its release
notes, downloads it, verifies its signature, unpacks it, replaces the
installed application (asking for administrator rights through polkit only
when needed) and starts it again. Without a display it runs in the terminal.
.
The package also holds nvsu-release, with which a maker packages, signs and
announces updates.")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bzip2, unzip, squashfs-tools, squashfuse, fuse3, pkexec, xdg-utils, libqt6webenginecore6-bin")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sudo, dbus-user-session")
set(CPACK_STRIP_FILES ON)
# Folders the package shares with the system stay out of its file list.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
