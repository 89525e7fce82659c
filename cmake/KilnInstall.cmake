# Installs each piece where it is found by default, and packs them as one Debian package.
#
#   watchcam                     bin/
#   Q_Watchcam.so                lib/             watchcam looks in ../lib beside itself
#   watchcam.so (frei0r filter)  lib/frei0r-1/    FFmpeg, MLT and GStreamer search /usr/lib/frei0r-1 and
#                                                 /usr/local/lib/frei0r-1 (the multiarch folder only GStreamer)
#   Kdenlive description         share/kdenlive/effects/
#
# `cmake --install build` puts them under /usr/local; the package (`cpack -G DEB` in the build) under /usr.
# (watchcam's own rule is in cli/, that of its image file module in footage/images/.)
if(TARGET Q_Watchcam)
  install(TARGETS Q_Watchcam LIBRARY DESTINATION lib)
endif()
if(TARGET watchcam_frei0r)
  install(TARGETS watchcam_frei0r LIBRARY DESTINATION lib/frei0r-1)
  install(FILES ${PROJECT_SOURCE_DIR}/frei0r/kdenlive/frei0r_watchcam.xml DESTINATION share/kdenlive/effects)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME q-watchcam)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Q_Watchcam developers <q-watchcam@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Security-camera look for video: the watchcam renderer, its plug-in module and a frei0r filter")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The libraries the binaries link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ffmpeg, melt, gstreamer1.0-plugins-bad, kdenlive")
include(CPack)
