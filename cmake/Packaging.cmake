# Installation as a desktop program, and the Debian package.
#
# The program lives in its own folder, lib/quosh, with the hand pointer beside it (it looks for optional files
# beside its real location); bin/quosh is a link to it. The menu entry and the icon at every size go where
# desktops look for them.
include(GNUInstallDirs)

set(QUOSH_PROGRAM_DIR lib/quosh)
set(QUOSH_ICON_SIZES 16 22 24 32 48 64 128 256)

add_executable(export_icon app/tools/export_icon.cpp)
target_link_libraries(export_icon PRIVATE quosh_platform)
set(icon_root ${CMAKE_CURRENT_BINARY_DIR}/icons/hicolor)
add_custom_command(OUTPUT ${icon_root}/256x256/apps/quosh.png
                   COMMAND export_icon ${icon_root} ${QUOSH_ICON_SIZES}
                   DEPENDS export_icon
                   COMMENT "Drawing the program's icon for the icon theme")
add_custom_target(theme_icons ALL DEPENDS ${icon_root}/256x256/apps/quosh.png)

install(TARGETS quosh RUNTIME DESTINATION ${QUOSH_PROGRAM_DIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/app/HAND-M.CUR DESTINATION ${QUOSH_PROGRAM_DIR})
# The link is relative, so that the installed tree can be moved (DESTDIR, packages).
file(RELATIVE_PATH quosh_link_target /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${QUOSH_PROGRAM_DIR}/quosh)
install(CODE "
    set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\${bin}\")
    file(CREATE_LINK ${quosh_link_target} \"\${bin}/quosh\" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quosh\")
")
install(CODE "set(QUOSH_DESKTOP_SOURCE \"${CMAKE_CURRENT_SOURCE_DIR}/assets/quosh.desktop\")
              set(QUOSH_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
              set(QUOSH_DATADIR \"${CMAKE_INSTALL_DATADIR}\")")
install(SCRIPT cmake/DesktopEntry.cmake)
install(DIRECTORY ${icon_root} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

# `cmake --build build --target uninstall` removes what `cmake --install build` put in place; the user's settings
# and captures are not the program's to remove.
add_custom_target(uninstall
                  COMMAND ${CMAKE_COMMAND} -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/Uninstall.cmake
                          ${CMAKE_CURRENT_BINARY_DIR}/install_manifest.txt
                  COMMENT "Removing the installed files")

set(CPACK_PACKAGE_NAME quosh)
set(CPACK_PACKAGE_VENDOR "Ostrafen")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Save a rectangle of the screen as a JPEG or BMP file")
set(CPACK_PACKAGE_CONTACT "${QUOSH_SUPPORT_ADDRESS}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The xcb platform plugin is loaded at run time, so shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2")
# On Wayland the screen is read through the desktop portal (which pulls in a backend for the desktop), and Qt runs
# natively there with its Wayland plugin.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, xdg-desktop-portal, qt6-wayland")
include(CPack)

# `quosh --version` tells the version the package is made with.
target_compile_definitions(quosh_app PRIVATE QUOSH_VERSION="${PROJECT_VERSION}")
