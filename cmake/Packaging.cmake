# The Debian package: cpack -G DEB in a configured and built tree. Its run-time dependencies come
# from dpkg-shlibdeps; the SVG plug-in draws the window's icon and is loaded, not linked.
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "The Velmora developers")
set(CPACK_PACKAGE_CONTACT "Velmora maintainers <maintainers@users.noreply.c-seed-4a4b5cf0.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay from browsers on the network to a local language model")
# Debian shows each line as it stands: lintian wants them within 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "Velmora puts a language model server on this machine (LM Studio or any\n\
other OpenAI-compatible server) in front of every browser on the network:\n\
a browser opens the relay's page, sends a prompt and reads the answer while\n\
the model writes it; a phone opens it by scanning a QR code. Programs reach\n\
the same model through an OpenAI-compatible API. It runs with a window, or\n\
headless as a systemd user service.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://velmora.example/")
set(CPACK_PACKAGE_INSTALL_DIRECTORY velmora)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(VELMORA_BUILD_DESKTOP)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
endif()
include(CPack)
