#include "flash/port_commands.h"

#include "dfu/command.h"
#include "files/support_misc.h"

namespace Flash {

namespace {

QStringList at_port(QString const& port) {
    return {"-p", port};
}

DFU::Result run(DFU::CmdID id, QStringList const& extra, Percent const& on_percent) {
    if (!on_percent)
        return DFU::run_command(id, extra);
    DFU::ProgressReader reader;
    DFU::OutputTaps taps;
    taps.on_output = [&reader, &on_percent](QByteArray const& bytes) {
        for (DFU::ProgressStep const& step : reader.feed(bytes))
            on_percent(DFU::overall_percent(step));
    };
    return DFU::run_command(id, extra, taps);
}

} // namespace

bool read_otp(QString const& port, QString const& file) {
    support_misc::ensure_file_is_deleted(file);
    return DFU::run_command(DFU::upload_OTP, QStringList{file} + at_port(port)).first == 0;
}

bool read_info_block(QString const& port, QString const& file) {
    support_misc::ensure_file_is_deleted(file);
    return DFU::run_command(DFU::upload_FW_info, QStringList{file} + at_port(port)).first == 0;
}

bool read_flash(QString const& port, QString const& file, int size, Percent const& on_percent) {
    support_misc::ensure_file_is_deleted(file);
    QStringList const extra{"-s", QString("0x08000000:%1").arg(size), "-U", file};
    return run(DFU::upload_FW, extra + at_port(port), on_percent).first == 0;
}

int write_flash(QString const& port, QString const& file, Percent const& on_percent) {
    return run(DFU::download_FW, QStringList{file} + at_port(port), on_percent).first;
}

} // namespace Flash
