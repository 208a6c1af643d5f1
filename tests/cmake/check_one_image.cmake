# cmake -DSOURCE_DIR=... -DIMAGE=... -P check_one_image.cmake: the check on one image.
cmake_minimum_required(VERSION 3.16)
include(${SOURCE_DIR}/cmake/FirmwareImage.cmake)
kelvora_check_firmware_image("${IMAGE}")
