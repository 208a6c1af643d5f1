#include "sim/simulator.h"

#include "dfu/command.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

namespace simulator {

bool use = false;

namespace {

// An installed tool keeps the script in <prefix>/share/kelvora-upgrade beside <prefix>/bin;
// a tool run from its build folder uses the source tree's simulator folder instead.
QString simulator_dir() {
    QString installed;
    if (QCoreApplication::instance()) {
        installed = QFileInfo(QCoreApplication::applicationDirPath() + "/../share/kelvora-upgrade")
                        .absoluteFilePath();
        if (QFileInfo(installed + "/dfu-util_simulator.sh").isFile())
            return QFileInfo(installed).canonicalFilePath();
    }
#ifdef KELVORA_SIMULATOR_DIR
    return QStringLiteral(KELVORA_SIMULATOR_DIR);
#else
    return installed;
#endif
}

} // namespace

QString dfu_util_path(QString const& file_name) {
    static QString const dir = simulator_dir();
    return dir + "/" + file_name;
}

void setup_for_simulated_dfu_util(Setup setup) {
    static std::pair<DFU::CmdID, char const*> const rows[] = {
        {DFU::list, "list"},
        {DFU::version, "version"},
        {DFU::upload_OTP, "upload_OTP"},
        {DFU::upload_FW_info, "upload_FW"},
        {DFU::upload_FW, "upload_FW"},
        {DFU::download_FW, "download_FW"},
        {DFU::setup_prepared_config, "setup_prepared_config"},
    };
    for (auto const& [id, name] : rows) {
        DFU::Command& row = DFU::commands[id];
        row.program = dfu_util_path("dfu-util_simulator.sh");
        QStringList arguments{"--dfu-util-command", name};
        if (setup & 1)
            arguments << "--fast-progress";
        row.arguments = arguments + row.arguments;
    }
}

int sim_setup_prepared_config(QString const& name) {
    auto const [code, output] = DFU::run_command(DFU::setup_prepared_config, {name});
    if (code != 0) {
        qInfo() << "Failed to setup simulation config" << name << "with code" << code;
        return code;
    }
    return 0;
}

} // namespace simulator
