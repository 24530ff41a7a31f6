# install() rules and CPack. What is installed is the one thing a user gets: the
# installer bundle with its payload (Sonarell.app, Keyloom.app, the install
# script) inside Contents/Resources. Keyloom and the input method are not
# installed on their own; the installer puts them in place.
#
# Where: on macOS the prefix is the folder that receives the bundle (for example
# /Applications, or the root of a disk image); on this Linux stand-in the bundle
# goes to <prefix>/Applications/SonarellInstaller.app, so that an ordinary
# prefix such as /usr/local or /opt/sonarell keeps the bundle apart from the
# prefix's bin/ and lib/.
if(NOT TARGET SonarellInstaller OR NOT TARGET sonarell_payload)
  return()
endif()

if(APPLE)
  set(SONARELL_APP_DESTINATION ".")
else()
  set(SONARELL_APP_DESTINATION "Applications")
endif()

# The bundle is laid out in the build tree by sonarell_bundle() and the payload
# step; installing that folder keeps the two layouts identical. Its programs
# link only the system's shared libraries, so nothing needs rewriting.
install(DIRECTORY "${SonarellInstaller_BUNDLE_DIR}"
        DESTINATION "${SONARELL_APP_DESTINATION}"
        USE_SOURCE_PERMISSIONS
        COMPONENT installer)

set(CPACK_PACKAGE_NAME "SonarellInstaller")
set(CPACK_PACKAGE_VENDOR "Quennet")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "One-button installer for the Sonarell IPA input method")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "SonarellInstaller-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};installer;/")
if(APPLE)
  # A disk image the user drags the bundle out of.
  set(CPACK_GENERATOR "DragNDrop")
  set(CPACK_DMG_VOLUME_NAME "SonarellInstaller")
else()
  # A tar archive holding Applications/SonarellInstaller.app.
  set(CPACK_GENERATOR "TGZ")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
include(CPack)
