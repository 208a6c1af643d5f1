#pragma once

// The device-side steps of start-up: the simulator or the extracted dfu-util, the platform
// line, the extraction of the working files, the execute permission and the execution test.
// Nothing here stops start-up; failures are only logged.
void init_device_side();
