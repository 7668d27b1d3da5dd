# What `cmake --install` puts under the prefix, and the CPack settings that
# turn it into the Debian package kestrel-capture_<version>_amd64.deb.
# The version is the project's own (project() in the top CMakeLists.txt).
include(GNUInstallDirs)

set(KESTREL_APP_ID org.kestrelcapture.KestrelCapture)
# The date of the release PROJECT_VERSION names (AppStream, Debian changelog).
set(KESTREL_RELEASE_DATE 2026-12-10)
set(KESTREL_HOMEPAGE "https://kestrelcapture.org/" CACHE STRING "The project's web site")
# AppStream wants a web address for the screenshot; the picture itself is
# resources/screenshots/kestrel-capture.png, to be published at this address.
set(KESTREL_SCREENSHOT_URL "${KESTREL_HOMEPAGE}screenshots/kestrel-capture.png"
    CACHE STRING "Where resources/screenshots/kestrel-capture.png is published")
set(KESTREL_SCREENSHOT_WIDTH 874)
set(KESTREL_SCREENSHOT_HEIGHT 521)

set(PKG_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(PKG_OUT ${CMAKE_BINARY_DIR}/packaging)
set(KESTREL_DATA_DIR ${CMAKE_INSTALL_DATADIR}/kestrel-capture)

# --- The board access helper, with the rule line of the udev template --------
set(UDEV_TEMPLATE ${CMAKE_SOURCE_DIR}/resources/udev/70-kestrel-capture.rules.in)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${UDEV_TEMPLATE})
file(STRINGS ${UDEV_TEMPLATE} KESTREL_UDEV_RULE REGEX "^[^#].*VENDOR.*PRODUCT")
list(LENGTH KESTREL_UDEV_RULE rule_count)
if(NOT rule_count EQUAL 1 OR NOT KESTREL_UDEV_RULE MATCHES "idVendor}==\"VENDOR\".*idProduct}==\"PRODUCT\"")
  message(FATAL_ERROR "${UDEV_TEMPLATE} must hold exactly one rule line matching "
                      "ATTRS{idVendor}==\"VENDOR\" and ATTRS{idProduct}==\"PRODUCT\"")
endif()
configure_file(${PKG_DIR}/kestrel-capture-board-access.in ${PKG_OUT}/kestrel-capture-board-access @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)

# --- Generated data: metainfo, manual pages, changelog, icons -----------------
configure_file(${PKG_DIR}/kestrel-capture.metainfo.xml.in ${PKG_OUT}/${KESTREL_APP_ID}.metainfo.xml @ONLY)
# RFC 5322 date of the release day, reproducible from the release date alone.
execute_process(COMMAND date -u -R -d "${KESTREL_RELEASE_DATE} 12:00:00"
                OUTPUT_VARIABLE KESTREL_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
set(KESTREL_MAINTAINER "Kestrel Capture developers <developers@kestrelcapture.org>")
configure_file(${PKG_DIR}/changelog.in ${PKG_OUT}/changelog @ONLY)

set(gzipped)
foreach(page kestrel-capture.1 kestrel-capture-board-access.1 changelog)
  if(page STREQUAL changelog)
    set(source ${PKG_OUT}/changelog)
  else()
    configure_file(${PKG_DIR}/${page} ${PKG_OUT}/${page} @ONLY)
    set(source ${PKG_OUT}/${page})
  endif()
  add_custom_command(OUTPUT ${PKG_OUT}/${page}.gz
                     COMMAND gzip -9nc ${source} > ${PKG_OUT}/${page}.gz
                     DEPENDS ${source} VERBATIM)
  list(APPEND gzipped ${PKG_OUT}/${page}.gz)
endforeach()

set(ICON_SVG ${CMAKE_SOURCE_DIR}/resources/icons/kestrel-capture.svg)
set(ICON_SIZES 48 128 256)
find_program(RSVG_CONVERT rsvg-convert)
set(icons)
if(RSVG_CONVERT)
  foreach(size ${ICON_SIZES})
    set(png ${PKG_OUT}/icons/${size}/kestrel-capture.png)
    add_custom_command(OUTPUT ${png}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${PKG_OUT}/icons/${size}
                       COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${ICON_SVG}
                       DEPENDS ${ICON_SVG} COMMENT "Icon at ${size} px" VERBATIM)
    list(APPEND icons ${png})
  endforeach()
endif()
add_custom_target(kestrel_package_data ALL DEPENDS ${gzipped} ${icons})

# --- What gets installed -------------------------------------------------------
install(TARGETS kestrel-capture RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Relocations read-only before main(), as the distribution builds its own.
target_link_options(kestrel-capture PRIVATE LINKER:-z,relro,-z,now)
install(PROGRAMS ${PKG_OUT}/kestrel-capture-board-access DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/resources/kestrel-capture.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
if(RSVG_CONVERT)
  foreach(size ${ICON_SIZES})
    install(FILES ${PKG_OUT}/icons/${size}/kestrel-capture.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
else()
  install(CODE "message(FATAL_ERROR \"rsvg-convert (librsvg2-bin) is needed for the icons: install it and configure again\")")
endif()
install(FILES ${PKG_OUT}/${KESTREL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PKG_OUT}/kestrel-capture.1.gz ${PKG_OUT}/kestrel-capture-board-access.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/resources/firmware/README.md DESTINATION ${KESTREL_DATA_DIR}/firmware)
install(FILES ${PKG_DIR}/copyright ${PKG_OUT}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrel-capture)

# --- The Debian package ----------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel-capture)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "${KESTREL_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${KESTREL_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "capture viewer for the Kestrel handheld's USB capture board")
# CPack puts the summary first: this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Kestrel Capture shows both screens of a Kestrel handheld console fitted with
a USB capture board live on the desktop, in one joined window or two windows
of their own, and plays the console's sound. It saves PNG snapshots, records
AVI video with sound, and updates the board's FPGA firmware when the board
reports an old version.")
# Libraries from what the binary links; the xcb platform plugin is loaded at
# run time, so no linker dependency names it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# kestrel-capture-board-access becomes root through one of these.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec | sudo")
# Sharing as a camera needs a running PipeWire; the program runs without one.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pipewire")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The binary looks for its data under the prefix it was built for: a package
# for /usr from a build for another prefix would look in the wrong place.
file(WRITE ${PKG_OUT}/check-prefix.cmake
     "if(NOT \"${CMAKE_INSTALL_PREFIX}\" STREQUAL \"${CPACK_PACKAGING_INSTALL_PREFIX}\")\n"
     "  message(FATAL_ERROR \"this build is configured for the prefix ${CMAKE_INSTALL_PREFIX}, the package \"\n"
     "                      \"installs under ${CPACK_PACKAGING_INSTALL_PREFIX}: configure with \"\n"
     "                      \"-DCMAKE_INSTALL_PREFIX=${CPACK_PACKAGING_INSTALL_PREFIX}\")\n"
     "endif()\n")
set(CPACK_PRE_BUILD_SCRIPTS ${PKG_OUT}/check-prefix.cmake)
include(CPack)

# The package's file name, for `make package` and `make package-check`.
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(deb_arch)
  file(WRITE ${PKG_OUT}/deb-file-name "${CPACK_PACKAGE_NAME}_${CPACK_PACKAGE_VERSION}_${deb_arch}.deb\n")
endif()
