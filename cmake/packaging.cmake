# CPack: a Debian package of everything `cmake --install` puts in place,
# under /usr (cpack -G DEB in the build directory).
set(CPACK_PACKAGE_NAME qzr)
set(CPACK_PACKAGE_VENDOR "The qzr developers")
set(CPACK_PACKAGE_CONTACT "The qzr developers <qzr@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "decoder and encoder of QZR wavelet images")
set(CPACK_PACKAGE_DESCRIPTION "qzrdec turns QZR wavelet images into 24-bit BMP files, byte for byte
as the format defines them, and meets damaged files with a clear message.
qzrenc makes QZR files from BMP, PNG and PPM pictures, and qzr converts,
checks and describes whole archives of them on several threads. The package
also holds the qzr libraries with their C and C++ headers, CMake package and
pkg-config file, for programs that decode or encode QZR images themselves.")
if(QZR_BUILD_GDK_PIXBUF)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
Its gdk-pixbuf loader, MIME type and thumbnailer entry let GTK image viewers,
file managers and any GdkPixbuf program open .qzr pictures and show their
thumbnails.")
  # gdk-pixbuf's and shared-mime-info's triggers register the loader and
  # the type when the files land in their directories.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, libgdk-pixbuf2.0-bin")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(QZR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QZR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # libc, libstdc++, libpng as the programs link them
endif()
if(WIN32)
  set(CPACK_GENERATOR ZIP)
endif()
include(CPack)
