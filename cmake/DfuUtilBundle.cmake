# Finds the Debian dfu-util and libusb that the tool carries, checks the banner that the
# build expects, and prepares a copy of the executable whose run path is its own folder.

find_program(KELVORA_HOST_DFU_UTIL dfu-util PATHS /usr/bin REQUIRED)
find_program(KELVORA_PATCHELF patchelf REQUIRED)
find_library(KELVORA_HOST_LIBUSB NAMES libusb-1.0.so.0 usb-1.0 REQUIRED)

execute_process(COMMAND "${KELVORA_HOST_DFU_UTIL}" -V
                OUTPUT_VARIABLE _banner RESULT_VARIABLE _rc ERROR_QUIET)
if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "${KELVORA_HOST_DFU_UTIL} -V failed with ${_rc}")
endif()

set(KELVORA_DFU_UTIL_BANNER_0_9
"dfu-util 0.9

Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.
Copyright 2010-2016 Tormod Volden and Stefan Schmidt
This program is Free Software and has ABSOLUTELY NO WARRANTY
Please report bugs to http://sourceforge.net/p/dfu-util/tickets/

")
set(KELVORA_DFU_UTIL_BANNER_0_11
"dfu-util 0.11

Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.
Copyright 2010-2021 Tormod Volden and Stefan Schmidt
This program is Free Software and has ABSOLUTELY NO WARRANTY
Please report bugs to http://sourceforge.net/p/dfu-util/tickets/

")
# The release the build carries; the program compares dfu-util's banner with its text.
set(KELVORA_DFU_UTIL_RELEASE "0_11" CACHE STRING "dfu-util release that the build carries (0_9 or 0_11)")
set(_expected "${KELVORA_DFU_UTIL_BANNER_${KELVORA_DFU_UTIL_RELEASE}}")
if(NOT _banner STREQUAL _expected)
    message(FATAL_ERROR
        "The dfu-util to embed prints another banner than the dfu-util "
        "${KELVORA_DFU_UTIL_RELEASE} banner this build expects.\n"
        "Executable: ${KELVORA_HOST_DFU_UTIL}\nIt printed:\n${_banner}")
endif()

get_filename_component(KELVORA_HOST_LIBUSB_REAL "${KELVORA_HOST_LIBUSB}" REALPATH)
set(KELVORA_LIBUSB_FILENAME "libusb-1.0.so.0")
set(KELVORA_DFU_BUNDLE_DIR "${CMAKE_BINARY_DIR}/dfu_util_bundle")
# The banner again for the build step that checks the copy actually embedded.
set(KELVORA_DFU_UTIL_BANNER_FILE "${CMAKE_BINARY_DIR}/dfu_util_expected_banner.txt")
file(WRITE "${KELVORA_DFU_UTIL_BANNER_FILE}" "${_expected}")
