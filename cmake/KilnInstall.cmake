# Installs each piece where it is found by default, and packs them as one Debian package.
#
#   watchcam                     bin/
#   Q_Watchcam.so                lib/             watchcam looks in ../lib beside itself
#   watchcam.so (frei0r filter)  lib/frei0r-1/    FFmpeg, MLT and GStreamer search /usr/lib/frei0r-1 and
#                                                 /usr/local/lib/frei0r-1 (the multiarch folder only GStreamer)
#   Kdenlive description         share/kdenlive/effects/
#   watchcam-obs.so (OBS filter)  OBS's own plug-in folders (component `obs`, see below)
#
# `cmake --install build` puts them under /usr/local; the package (`cpack -G DEB` in the build) under /usr.
# (watchcam's own rule is in cli/, that of its image file module in footage/images/.)
#
# OBS Studio loads plug-ins only from the folders it was built with (on Debian
# /usr/lib/<multiarch>/obs-plugins, data in /usr/share/obs/obs-plugins/<module>) and from each user's
# ~/.config/obs-studio/plugins/<module>/{bin/64bit,data}. The OBS filter therefore installs into the folders
# of the OBS whose libobs it was built against, whatever the prefix (obs/CMakeLists.txt finds them):
# KILN_OBS_PLUGIN_DIR and KILN_OBS_DATA_DIR change them (a user's own folder, for example). It is a component of its own and its
# own Debian package, q-watchcam-obs, so that installing the rest does not pull in OBS.
if(TARGET Q_Watchcam)
  install(TARGETS Q_Watchcam LIBRARY DESTINATION lib)
endif()
if(TARGET watchcam_frei0r)
  install(TARGETS watchcam_frei0r LIBRARY DESTINATION lib/frei0r-1)
  install(FILES ${PROJECT_SOURCE_DIR}/frei0r/kdenlive/frei0r_watchcam.xml DESTINATION share/kdenlive/effects)
endif()

if(TARGET watchcam_obs)
  install(TARGETS watchcam_obs LIBRARY DESTINATION ${KILN_OBS_PLUGIN_DIR} COMPONENT obs)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/obs/data/ DESTINATION ${KILN_OBS_DATA_DIR} COMPONENT obs)
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
# One package per component: q-watchcam (everything without a component) and, where the OBS filter is
# built, q-watchcam-obs.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME q-watchcam)
set(CPACK_DEBIAN_OBS_PACKAGE_NAME q-watchcam-obs)
set(CPACK_DEBIAN_OBS_PACKAGE_SUGGESTS "")
set(CPACK_DEBIAN_OBS_PACKAGE_ENHANCES obs-studio)
set(CPACK_DEBIAN_OBS_DESCRIPTION "Security-camera look for OBS Studio
 The Security Camera video filter for OBS Studio: footage as a security camera films it and a worn
 monitor shows it, on any source or scene.")
include(CPack)
