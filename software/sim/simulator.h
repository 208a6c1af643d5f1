#pragma once

#include <QString>

// Runs every dfu-util command through the simulator script instead, so the whole flow
// works without a unit.
namespace simulator {

extern bool use;

enum Setup { normal = 0, fast_progress = 1 };

// The simulator folder, "/" and the file name: <executable's folder>/../share/kelvora-upgrade
// when the script is installed there, else the source tree's simulator folder.
QString dfu_util_path(QString const& file_name);

// Rewrites every row of DFU::commands to start the script. Run once, before any command.
void setup_for_simulated_dfu_util(Setup setup);

// Asks the script to load a prepared configuration; 0 on success, else the exit code.
int sim_setup_prepared_config(QString const& name);

} // namespace simulator
