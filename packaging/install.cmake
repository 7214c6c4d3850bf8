# Install layout and the Debian package (included from the top-level
# CMakeLists.txt after the quibd target).
#
#   <prefix>/sbin/quibd
#   <prefix>/lib/systemd/system/quibd@.service
#   <prefix>/share/man/man8/quibd.8, <prefix>/share/man/man5/quibd.conf.5
#   <prefix>/share/doc/quibd/      README.md, examples/quibd.conf
#   /etc/quib/quibd.conf           only when absent (a conffile in the .deb)
#   /var/lib/quibd                 the state directory
#
# /etc/quib and /var/lib/quibd are fixed paths of the daemon, so they do not
# follow the prefix.

include(GNUInstallDirs)

set(QUIBD_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# quibd --version prints the project's version.
set_property(SOURCE ${CMAKE_SOURCE_DIR}/src/main/usage.cpp APPEND PROPERTY
             COMPILE_DEFINITIONS QUIBD_VERSION="${PROJECT_VERSION}")

install(TARGETS quibd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

install(FILES ${QUIBD_PACKAGING_DIR}/man/quibd.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${QUIBD_PACKAGING_DIR}/man/quibd.conf.5
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${QUIBD_PACKAGING_DIR}/quibd.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

install(DIRECTORY DESTINATION /var/lib/quibd
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                              GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The unit names the daemon by its installed path, which is known only at
# install time (cpack installs under /usr, cmake --install under the prefix).
# It is written into the build tree first so that file(INSTALL) records it in
# install_manifest.txt like every other file.
install(CODE "
  set(quibd_sbindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  file(READ \"${QUIBD_PACKAGING_DIR}/systemd/quibd@.service.in\" quibd_unit)
  string(REPLACE \"@QUIBD_SBINDIR@\" \"\${quibd_sbindir}\" quibd_unit \"\${quibd_unit}\")
  file(WRITE \"${CMAKE_BINARY_DIR}/packaging/quibd@.service\" \"\${quibd_unit}\")
  file(INSTALL \"${CMAKE_BINARY_DIR}/packaging/quibd@.service\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
")

# An operator's /etc/quib/quibd.conf is never replaced: the example goes
# there only when no file exists (it is always in the documentation too).
install(CODE "
  set(quibd_conf \"\$ENV{DESTDIR}/etc/quib/quibd.conf\")
  if(EXISTS \"\${quibd_conf}\" OR IS_SYMLINK \"\${quibd_conf}\")
    message(STATUS \"Keeping: \${quibd_conf} (the example is in the documentation)\")
  else()
    # file(INSTALL) puts DESTDIR in front by itself.
    file(INSTALL \"${QUIBD_PACKAGING_DIR}/quibd.conf\" DESTINATION /etc/quib
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
")

# ---------------------------------------------------------------- package

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quibd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quibd maintainers <quibd@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "IPv6 over UDP/IPv4 tunnel broker and client")
set(CPACK_PACKAGE_DESCRIPTION
    "quibd carries IPv6 packets between hosts inside UDP datagrams over IPv4.
One program runs either as a broker, which owns an IPv6 prefix and hands
every client an address inside it, or as a client, which sets up its
tunnel with the broker and relays packets. The package ships a templated
systemd unit (quibd@NAME runs /etc/quib/NAME.conf) that runs the daemon
as an unprivileged user holding only CAP_NET_ADMIN.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (dpkg-dev) derives Depends from the libraries quibd links,
# with versions; cpack needs file(1) to use it. Without them the runtime
# packages of Debian 12 are named by hand.
find_program(QUIBD_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(QUIBD_FILE_COMMAND file)
if(QUIBD_DPKG_SHLIBDEPS AND QUIBD_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, liblog4cpp5v5, zlib1g, libsodium23")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${QUIBD_PACKAGING_DIR}/debian/conffiles
    ${QUIBD_PACKAGING_DIR}/debian/postinst
    ${QUIBD_PACKAGING_DIR}/debian/prerm
    ${QUIBD_PACKAGING_DIR}/debian/postrm)

include(CPack)
