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
if(QZR_BUILD_IMAGEMAGICK)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
Its ImageMagick delegate lets convert, identify, mogrify and montage read
.qzr pictures through qzr.")
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

# The plugins for libvips and Qt go into packages of their own, as Debian
# splits them, so that the decoder does not pull in their libraries:
# qzr-vips (libvips' loader module), qzr-qt5 and qzr-qt6 (Qt's image format
# plugins). Everything else (programs, library, desktop files, the
# ImageMagick delegate, which needs nothing but qzr) is the package qzr.
set(QZR_PLUGIN_PACKAGES vips qt5 qt6)
set(QZR_PACKAGE_vips_SUMMARY "QZR wavelet images in libvips (vips, vipsthumbnail)")
set(QZR_PACKAGE_vips_TEXT "A libvips loader module (qzrload, qzrload_buffer, qzrload_source): vips,
vipsthumbnail and every program built on libvips read .qzr pictures.")
set(QZR_PACKAGE_qt5_SUMMARY "QZR wavelet images in Qt 5 programs (Gwenview, Okular, digiKam)")
set(QZR_PACKAGE_qt5_TEXT "A Qt 5 image format plugin: QImage and QImageReader, and so Gwenview,
Okular, digiKam and every Qt 5 program, read .qzr pictures.")
set(QZR_PACKAGE_qt6_SUMMARY "QZR wavelet images in Qt 6 programs")
set(QZR_PACKAGE_qt6_TEXT "A Qt 6 image format plugin: QImage and QImageReader, and so every
Qt 6 program, read .qzr pictures.")
get_cmake_property(QZR_COMPONENTS COMPONENTS)
if(NOT WIN32 AND QZR_COMPONENTS)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL ${QZR_COMPONENTS})
  list(REMOVE_ITEM CPACK_COMPONENTS_ALL windows)
  set(CPACK_DEBIAN_MAIN_PACKAGE_NAME qzr)
  # Each package's summary is the first line of its description: CPack
  # would put the one summary above every package's.
  set(CPACK_DEBIAN_MAIN_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
  set(CPACK_DEBIAN_MAIN_PACKAGE_RECOMMENDS "${CPACK_DEBIAN_PACKAGE_RECOMMENDS}")
  unset(CPACK_DEBIAN_PACKAGE_RECOMMENDS)
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    if(component IN_LIST QZR_PLUGIN_PACKAGES)
      set(CPACK_COMPONENT_${upper}_GROUP ${component})
      set(CPACK_DEBIAN_${upper}_PACKAGE_NAME qzr-${component})
      set(CPACK_DEBIAN_${upper}_DESCRIPTION "${QZR_PACKAGE_${component}_SUMMARY}\n${QZR_PACKAGE_${component}_TEXT}")
      set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION graphics)
      # Qt programs such as Gwenview open a file only when the MIME
      # database knows its type, which the package qzr installs.
      if(component MATCHES "^qt")
        set(CPACK_DEBIAN_${upper}_PACKAGE_RECOMMENDS "qzr, shared-mime-info")
      endif()
    else()
      set(CPACK_COMPONENT_${upper}_GROUP main)
    endif()
  endforeach()
endif()
include(CPack)
