# Install layout and the Debian package (included from the top-level
# CMakeLists.txt after the quibd target).
#
#   <prefix>/sbin/quibd
#   <prefix>/lib/systemd/system/quibd@.service
#   <prefix>/share/man/man8/quibd.8, <prefix>/share/man/man5/quibd.conf.5
#   <prefix>/share/doc/quibd/      README.md, examples/quibd.conf
#   /etc/quib/quibd.conf           only when absent (a conffile in the .deb)
#   /etc/logrotate.d/quibd         only when absent (a conffile in the .deb)
#   /var/lib/quibd                 the state directory
#
# /etc/quib, /etc/logrotate.d and /var/lib/quibd are fixed paths of the
# daemon and of logrotate, so they do not follow the prefix.

include(GNUInstallDirs)

set(QUIBD_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

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

# quibd_install_keeping(SOURCE DIR): installs SOURCE into the fixed
# directory DIR only when no file of that name is there, so an operator's
# copy is never replaced (the example configuration is always in the
# documentation too).
function(quibd_install_keeping source dir)
  get_filename_component(name ${source} NAME)
  install(CODE "
    set(target \"\$ENV{DESTDIR}${dir}/${name}\")
    if(EXISTS \"\${target}\" OR IS_SYMLINK \"\${target}\")
      message(STATUS \"Keeping: \${target}\")
    else()
      # file(INSTALL) puts DESTDIR in front by itself.
      file(INSTALL \"${source}\" DESTINATION ${dir}
           FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
  ")
endfunction()
quibd_install_keeping(${QUIBD_PACKAGING_DIR}/quibd.conf /etc/quib)
quibd_install_keeping(${QUIBD_PACKAGING_DIR}/logrotate/quibd /etc/logrotate.d)

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
# procps holds /bin/kill, which the unit's ExecReload= runs (minimal
# systems lack it). dpkg-shlibdeps (dpkg-dev) adds the packages of the
# libraries quibd links, with versions; cpack needs file(1) to use it.
# Without them the runtime packages of Debian 12 are named by hand.
find_program(QUIBD_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(QUIBD_FILE_COMMAND file)
if(QUIBD_DPKG_SHLIBDEPS AND QUIBD_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "procps, libc6, libgcc-s1, libstdc++6, liblog4cpp5v5, zlib1g, libsodium23, libsystemd0, libmicrohttpd12")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${QUIBD_PACKAGING_DIR}/debian/conffiles
    ${QUIBD_PACKAGING_DIR}/debian/postinst
    ${QUIBD_PACKAGING_DIR}/debian/prerm
    ${QUIBD_PACKAGING_DIR}/debian/postrm)

include(CPack)
