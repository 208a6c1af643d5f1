#pragma once

// The device-side steps of start-up: the simulator or the extracted dfu-util, the platform
// line, the extraction of the working files, the execute permission and the execution test.
// Returns false, and runs nothing, when the working directory is missing or a file could not
// be extracted intact (Files::extraction_error() says which and why): nothing may then run
// from the working directory. A failed execution test is only logged.
bool init_device_side();
