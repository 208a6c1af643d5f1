# Install rules and the Debian package (cpack -G DEB): the executable, the simulator script
# with the image it builds its unit from, desktop entry, icons, AppStream metadata, the udev
# rule, the manual page, copyright and changelog. The version is the project's.

set(KELVORA_HOMEPAGE "https://www.kelvora.com/firmware-upgrade-tool"
    CACHE STRING "Project page; the AppStream screenshots lie under <page>/screenshots")
set(KELVORA_APP_ID "com.kelvora.FirmwareUpgradeTool")
set(_pkg_src ${CMAKE_SOURCE_DIR}/packaging)
set(_pkg_out ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${_pkg_out})

set(CPACK_PACKAGE_NAME "kelvora-upgrade")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Kelvora Firmware Team <firmware@kelvora.com>")

# The changelog's newest entry must name the project's version, so the two cannot drift.
file(STRINGS ${_pkg_src}/changelog _changelog)
list(GET _changelog 0 _first)
if(NOT _first MATCHES "^kelvora-upgrade \\(([^)]+)\\)")
    message(FATAL_ERROR "packaging/changelog: the first line names no version: ${_first}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "packaging/changelog names version ${CMAKE_MATCH_1} first, the project "
                        "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
endif()
foreach(_line IN LISTS _changelog)
    if(_line MATCHES "^ -- .*>  (.+)$")
        set(_changelog_date "${CMAKE_MATCH_1}")
        break()
    endif()
endforeach()
execute_process(COMMAND date -u -d "${_changelog_date}" +%Y-%m-%d
                OUTPUT_VARIABLE KELVORA_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0 OR KELVORA_RELEASE_DATE STREQUAL "")
    message(FATAL_ERROR "packaging/changelog: cannot read the date of its newest entry")
endif()

# Versions of the Debian packages whose files the executable carries, for the copyright file.
function(_kelvora_debian_version package var)
    execute_process(
        COMMAND dpkg-query -W -f=${${var}_FORMAT} ${package}
        OUTPUT_VARIABLE _out RESULT_VARIABLE _rc ERROR_QUIET)
    if(NOT _rc EQUAL 0 OR _out STREQUAL "" OR _out MATCHES " $")
        message(FATAL_ERROR "The Debian package ${package} is not installed; "
                            "the copyright file names its version")
    endif()
    separate_arguments(_parts UNIX_COMMAND "${_out}")
    list(GET _parts 0 _version)
    list(GET _parts 1 _source_version)
    string(REPLACE ":" "%3A" _url_version "${_source_version}")
    set(${var}_VERSION "${_version}" PARENT_SCOPE)
    set(${var}_SOURCE_VERSION "${_source_version}" PARENT_SCOPE)
    set(${var}_SOURCE_VERSION_URL "${_url_version}" PARENT_SCOPE)
endfunction()
foreach(_var KELVORA_DFU_UTIL KELVORA_LIBUSB)
    set(${_var}_FORMAT "\${Version} \${source:Version}")
endforeach()
_kelvora_debian_version(dfu-util KELVORA_DFU_UTIL)
_kelvora_debian_version(libusb-1.0-0 KELVORA_LIBUSB)
# The fonts are committed product data; the product-data script notes the release they
# were copied from.
file(STRINGS ${CMAKE_SOURCE_DIR}/software/resources/FONTS-SOURCE.txt _fonts_source LIMIT_COUNT 1)
separate_arguments(_fonts_source UNIX_COMMAND "${_fonts_source}")
list(LENGTH _fonts_source _n)
if(NOT _n EQUAL 4)
    message(FATAL_ERROR "software/resources/FONTS-SOURCE.txt: expected "
                        "'package version source-package source-version'")
endif()
list(GET _fonts_source 1 KELVORA_FONTS_VERSION)
list(GET _fonts_source 3 KELVORA_FONTS_SOURCE_VERSION)

# The OFL text is the stand-alone licence paragraph of the fonts' own copyright file.
file(READ ${CMAKE_SOURCE_DIR}/software/resources/FONTS-LICENSE.txt _fonts_copyright)
string(FIND "${_fonts_copyright}" "\n\nLicense: OFL-1.1\n" _at)
if(_at EQUAL -1)
    message(FATAL_ERROR "software/resources/FONTS-LICENSE.txt holds no OFL-1.1 paragraph")
endif()
math(EXPR _at "${_at} + 2")
string(SUBSTRING "${_fonts_copyright}" ${_at} -1 _ofl)
string(FIND "${_ofl}" "\n\n" _end)
if(NOT _end EQUAL -1)
    string(SUBSTRING "${_ofl}" 0 ${_end} _ofl)
endif()
string(STRIP "${_ofl}" KELVORA_OFL_PARAGRAPH)

configure_file(${_pkg_src}/copyright.in ${_pkg_out}/copyright @ONLY)
configure_file(${_pkg_src}/${KELVORA_APP_ID}.metainfo.xml.in
               ${_pkg_out}/${KELVORA_APP_ID}.metainfo.xml @ONLY)

# Manual page and changelog compressed the way Debian expects (no name, no time stamp).
find_program(KELVORA_GZIP gzip REQUIRED)
add_custom_command(
    OUTPUT ${_pkg_out}/kelvora-upgrade.1.gz ${_pkg_out}/changelog.gz
    COMMAND ${KELVORA_GZIP} -9nc ${_pkg_src}/kelvora-upgrade.1 > ${_pkg_out}/kelvora-upgrade.1.gz
    COMMAND ${KELVORA_GZIP} -9nc ${_pkg_src}/changelog > ${_pkg_out}/changelog.gz
    DEPENDS ${_pkg_src}/kelvora-upgrade.1 ${_pkg_src}/changelog
    COMMENT "Compressing the manual page and the changelog")
add_custom_target(kelvora_package_data ALL
                  DEPENDS ${_pkg_out}/kelvora-upgrade.1.gz ${_pkg_out}/changelog.gz)

include(GNUInstallDirs)
install(TARGETS kelvora-upgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/simulator/dfu-util_simulator.sh
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvora-upgrade)
install(FILES ${KELVORA_FIRMWARE_BIN} DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvora-upgrade
        RENAME firmware.bin)
install(FILES ${_pkg_src}/${KELVORA_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_pkg_out}/${KELVORA_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_pkg_src}/icons/kelvora-upgrade.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(_size 16 22 24 32 48 64 128 256)
    install(FILES ${_pkg_src}/icons/${_size}x${_size}/kelvora-upgrade.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps)
endforeach()
install(FILES ${_pkg_out}/kelvora-upgrade.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_pkg_out}/copyright ${_pkg_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvora-upgrade)
install(FILES ${_pkg_src}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME kelvora-upgrade)
# udev reads its packaged rules from /lib/udev/rules.d on Debian 12, whatever the prefix.
install(FILES ${_pkg_src}/70-kelvora-upgrade.rules DESTINATION /lib/udev/rules.d)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware upgrade tool for Kelvora units")
set(CPACK_PACKAGE_DESCRIPTION
    "Upgrades the firmware of a Kelvora unit over USB. The tool finds a unit in its
STM32 DfuSe bootloader, shows its product and firmware revision, writes the
firmware that it carries, reads the flash back and compares it byte for byte.
It carries its own dfu-util and libusb, and installs a udev rule that lets the
user at the seat open a unit in its bootloader.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${KELVORA_HOMEPAGE}")
# dpkg-shlibdeps computes Depends from the executables: Qt, libudev1 (the bus watch), the C
# and C++ libraries; scripts/check_package.sh checks that they are named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's AT-SPI bridge (in libqt5gui5) reaches screen readers over the AT-SPI bus.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "at-spi2-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_pkg_src}/postinst ${_pkg_src}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The service bench: kelvora-flash, its manual page and its bash completion.
add_custom_command(
    OUTPUT ${_pkg_out}/kelvora-flash.1.gz
    COMMAND ${KELVORA_GZIP} -9nc ${_pkg_src}/kelvora-flash.1 > ${_pkg_out}/kelvora-flash.1.gz
    DEPENDS ${_pkg_src}/kelvora-flash.1
    COMMENT "Compressing the bench's manual page")
add_custom_target(kelvora_flash_package_data ALL DEPENDS ${_pkg_out}/kelvora-flash.1.gz)
install(TARGETS kelvora-flash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${_pkg_out}/kelvora-flash.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_pkg_src}/bash-completion/kelvora-flash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
