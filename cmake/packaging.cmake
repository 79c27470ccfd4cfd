# Two Debian packages, built with `cpack -G DEB` in the build folder:
#   lumen-server  lumen_server, lumen_sci, lumen_info, lumen-job and the launchers start-agent and start-app
#   lumen-client  lumen and its manual page
# Both install into /usr/bin, where a login over ssh finds them without any PATH set-up. The
# libraries the programs link come from dpkg-shlibdeps; the programs they run are named here. Each
# package carries its copyright file and changelog in /usr/share/doc/<package>, as Debian's policy
# (and lintian) asks.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumen)
set(CPACK_PACKAGE_VENDOR Orvane)
set(CPACK_PACKAGE_CONTACT "Orvane <lumen@orvane.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL server client)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

# A description is one string: its first line is the synopsis, the others the long description.
# (Several strings would become one list, joined with ";".)
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME lumen-server)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "Keeps graphical X sessions alive for remote viewers
lumen_server keeps X sessions with a VNC front end running while viewers
come and go, and serves JSON-RPC over TLS; lumen_sci is the relay that
clients run over ssh; lumen-job runs a session inside a Slurm batch job.")
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "openssl, xauth, python3, tigervnc-standalone-server")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME lumen-client)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "Opens remote Lumen Server sessions over ssh
lumen lists, starts, attaches to, suspends and ends the sessions of a
Lumen Server host and opens a VNC viewer on them through an ssh tunnel.")
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "openssh-client, tigervnc-viewer")
# lumen --browser serves noVNC through websockify.
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "novnc, websockify")

# The documentation files of both packages: the copyright file as it is, the changelog compressed
# as Debian keeps it (gzip -9n, reproducible).
set(LUMEN_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
    OUTPUT ${LUMEN_CHANGELOG}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/cmake/changelog > ${LUMEN_CHANGELOG}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/changelog
    COMMENT "Compressing the package changelog"
    VERBATIM)
add_custom_target(lumen_package_docs ALL DEPENDS ${LUMEN_CHANGELOG})
foreach(component server client)
    install(FILES ${CMAKE_SOURCE_DIR}/cmake/copyright ${LUMEN_CHANGELOG}
            DESTINATION share/doc/lumen-${component} COMPONENT ${component})
endforeach()

include(CPack)
