# Build-time check of the dfu-util copy that goes into the bundle: it must print exactly the
# banner that the program compares with. Run as
#   cmake -DDFU_UTIL=<copied executable> -DEXPECTED=<file with the banner> -P CheckDfuUtilBanner.cmake
execute_process(COMMAND "${DFU_UTIL}" -V
                OUTPUT_VARIABLE _banner RESULT_VARIABLE _rc ERROR_VARIABLE _err)
file(READ "${EXPECTED}" _expected)
if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "The dfu-util to embed (${DFU_UTIL}) does not run: '-V' gave ${_rc}\n${_err}")
endif()
if(NOT _banner STREQUAL _expected)
    message(FATAL_ERROR
        "The dfu-util to embed prints another banner than the one the program expects.\n"
        "Executable: ${DFU_UTIL}\nExpected:\n${_expected}\nIt printed:\n${_banner}")
endif()
