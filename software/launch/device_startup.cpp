#include "launch/device_startup.h"

#include "dfu/command.h"
#include "dfu/dfu_util.h"
#include "files/files.h"
#include "files/support_misc.h"
#include "sim/simulator.h"

#include <QDebug>
#include <QFile>

namespace {

// Unless the caller chose a folder for the simulated unit, it lives in the working directory:
// every run starts with a fresh unit and nothing of it stays behind after the run.
void keep_simulated_unit_in_working_directory() {
    char const* const variable = "KELVORA_SIM_STATE_DIR";
    if (qEnvironmentVariableIsEmpty(variable) && Files::external_dir.isValid())
        qputenv(variable, QFile::encodeName(Files::external_dir.path() + "/simulated_unit"));
    qInfo() << "Simulated unit kept in" << qEnvironmentVariable(variable);
}

} // namespace

bool init_device_side() {
    if (simulator::use)
        qInfo() << "Will use simulator (i.e. option 'use_simulator).";
    else
        qInfo() << "Will use real device (i.e. no option 'use_simulator'.)";

    // Never the bare program name, nor a path outside the working directory.
    if (!Files::external_dir.isValid()) {
        qWarning() << "No working directory:" << Files::external_dir.errorString();
        return false;
    }
    if (simulator::use) {
        simulator::setup_for_simulated_dfu_util(simulator::normal);
        keep_simulated_unit_in_working_directory();
    } else
        DFU::Command::path = Files::external_dir.path();

    qInfo() << "Compiled for platform (OS):" << support_misc::compiled_for_platform()
            << "with 'DEBUG'" << (support_misc::compiled_w_DEBUG ? "defined" : "not defined");

    if (!Files::extract_resources({Files::desired_FW_dfu, Files::desired_FW_bin,
                                   Files::dfu_util_executable, Files::libusb_dylib},
                                  true))
        return false;
    support_misc::mark_file_executable(DFU::dfu_util::full_path());
    DFU::dfu_util::execution_test();
    return true;
}
