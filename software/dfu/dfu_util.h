#pragma once

#include <QString>

// The extracted dfu-util executable and the check that it is the release this build carries.
namespace DFU::dfu_util {

// The exact banner that the carried release prints for "-V".
extern QString const expected_output_of_execution_test;
extern QString const banner_0_9;
extern QString const banner_0_11;

QString basename();
QString full_path();

// True when "dfu-util -V" exits with 0 and prints exactly the expected banner.
bool execution_test();

} // namespace DFU::dfu_util
