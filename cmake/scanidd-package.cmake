# scanidd's install rules and its Debian package (component "service").
# Included from the top-level CMakeLists.txt after the scanidd target and
# before include(CPack).
if(NOT TARGET scanidd)
  message(FATAL_ERROR "scanidd-package.cmake: the scanidd target must exist first")
endif()

install(TARGETS scanidd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
install(FILES packaging/scanidd/scanidd.service DESTINATION lib/systemd/system COMPONENT service)
# Absolute: /etc whatever the prefix (the package's prefix is /usr).
install(FILES packaging/scanidd/scanidd.conf DESTINATION /etc/scanid COMPONENT service)

# dpkg keeps an edited configuration across upgrades only for conffiles.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/scanidd-deb/conffiles "/etc/scanid/scanidd.conf\n")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_BINARY_DIR}/scanidd-deb/conffiles
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/scanidd/postinst
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/scanidd/postrm)
# Maintainer scripts 0755, conffiles 0644, whatever the checkout's modes.
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)

list(APPEND CPACK_COMPONENTS_ALL service)
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME scanidd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS
  "libscanid1 (= ${PROJECT_VERSION}), libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libusb-1.0-0, libwebsockets17, libsystemd0, adduser")
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "scanidd: reads cards through one reader and hands each result to programs on this machine as JSON, over a WebSocket and HTTP, with a sample page.\nListens on 127.0.0.1:19950 by default; only its own page may use it unless other origins are allowed. Nothing read is written to disk or to the log. Configured in /etc/scanid/scanidd.conf; runs as the scanidd user under systemd.")
