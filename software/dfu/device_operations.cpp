#include "dfu/device_operations.h"

#include "device/unit_text.h"
#include "dfu/dfu_util_progress.h"
#include "files/build_switches.h"
#include "files/files.h"
#include "files/support_misc.h"

#include <QDebug>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

#include <limits>

namespace DFU {

namespace {

// Runs the command and reports its progress bars as they come; without a handler it is the
// plain run.
Result run_with_progress(CmdID id, QStringList const& extra, ProgressHandler const& on_progress) {
    if (!on_progress)
        return run_command(id, extra);
    ProgressReader reader;
    OutputTaps taps;
    taps.on_output = [&reader, &on_progress](QByteArray const& bytes) {
        for (ProgressStep const& step : reader.feed(bytes))
            on_progress(overall_percent(step));
    };
    return run_command(id, extra, taps);
}

} // namespace

QString working_file(QString const& name, Address const& unit) {
    QString file = name;
    if (unit.kind == Address::port) { // digits, dots and dashes; nothing else reaches the name
        QString tag = unit.name;
        tag.replace(QRegularExpression("[^0-9A-Za-z.-]"), "_");
        int const dot = file.lastIndexOf('.');
        file.insert(dot < 0 ? file.size() : dot, "_" + tag);
    }
    return Files::external_dir.path() + "/" + file;
}

Result read_device_info(Address const& unit, DeviceInfo* info) {
    QString const otp_file = working_file(Files::uploaded_OTP_fileName_bin, unit);
    support_misc::ensure_file_is_deleted(otp_file);
    Result result = run_command(upload_OTP, QStringList{otp_file} + unit.arguments());
    auto& [code, text] = result;
    if (code != 0 || !info)
        return result;

    info->OTP_info = Device::make_OTP_Info(otp_file);
    if (info->OTP_info.blank)
        qInfo().noquote() << Device::loggable_lines(text) + "OTP is blank.\n";
    info->device_type = info->OTP_info.product.type;
    info->valid = true;
    qInfo() << QString(info->OTP_info);

    info->FW_info = read_FW_Info(unit);

    bool const same_product = info->OTP_info.product == info->FW_info.product ||
                              (info->OTP_info.blank && have_service_build());
    if (same_product) {
        info->FW_revision = info->FW_info.revision;
        qInfo().noquote() << QString(*info);
        qInfo() << info->FW_info;
    } else {
        text += "FW assumed invalid because of product type mismatch.";
        text += "\nOTP contains";
        text += QString(info->OTP_info.product);
        text += "\nwhereas FW contains\n";
        text += QString(info->FW_info);
        qInfo().noquote() << Device::loggable_lines(text);
        info->FW_info.valid = false;
    }
    return result;
}

Device::FW_Info read_FW_Info(Address const& unit) {
    QString const file = working_file(Files::uploaded_FW_info_fileName_bin, unit);
    support_misc::ensure_file_is_deleted(file);
    auto const [code, output] = run_command(upload_FW_info, QStringList{file} + unit.arguments());
    return code == 0 ? Device::make_FW_Info(file) : Device::FW_Info();
}

WriteEnd write_end(Result const& result) {
    auto const& [code, output] = result;
    bool sent = output.contains("File downloaded successfully");
    ProgressReader reader;
    for (ProgressStep const& step : reader.feed(output.toUtf8()))
        sent = sent || (step.phase == ProgressStep::download && step.percent == 100);
    return {code, sent};
}

WriteEnd download_FW_to_device(QString const& file, Address const& unit,
                               ProgressHandler const& on_progress) {
    WriteEnd const end = write_end(
        run_with_progress(download_FW, QStringList{file} + unit.arguments(), on_progress));
    if (end.code != 0 && end.all_sent)
        qInfo() << "dfu-util ended with" << end.code
                << "after it had sent the whole image: the unit's check tells how the write ended";
    return end;
}

int upload_FW_from_device(QString const& file, int size, Address const& unit,
                          ProgressHandler const& on_progress) {
    support_misc::ensure_file_is_deleted(file);
    QStringList const extra{"-s", QString("0x08000000:%1").arg(size), "-U", file};
    auto const [code, output] = run_with_progress(upload_FW, extra + unit.arguments(), on_progress);
    return code;
}

bool upload_and_compare_FW_bin(QString const& desired, QString const& uploaded) {
    return read_back(support_misc::read_binary_file(desired), uploaded, Address()) ==
           Readback::matches;
}

Readback read_back(QByteArray const& image, QString const& file, Address const& unit,
                   ProgressHandler const& on_progress) {
    if (image.isEmpty())
        return Readback::differs;
    int const code = upload_FW_from_device(file, image.size(), unit, on_progress);
    QByteArray const uploaded = support_misc::read_binary_file(file);
    if (code != 0 || uploaded.size() < image.size()) {
        qInfo().noquote() << QString("Read-back cut short: dfu-util ended with %1 after %2 of "
                                     "%3 bytes")
                                 .arg(code)
                                 .arg(uploaded.size())
                                 .arg(image.size());
        return Readback::cut;
    }
    return uploaded == image ? Readback::matches : Readback::differs;
}

bool ensure_file_holds(QString const& file, QByteArray const& image) {
    if (image.isEmpty())
        return false;
    if (support_misc::read_binary_file(file) == image)
        return true;
    qWarning() << "Working copy" << file << "differs from the carried firmware, writing it again";
    QSaveFile out(file);
    bool const written =
        out.open(QIODevice::WriteOnly) && out.write(image) == image.size() && out.commit();
    if (written && support_misc::read_binary_file(file) == image)
        return true;
    qWarning() << "Cannot restore the working copy" << file << ":" << out.errorString();
    return false;
}

int size_of_binary_file(QString const& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    qint64 const size = f.size();
    return size > std::numeric_limits<int>::max() ? -1 : static_cast<int>(size);
}

bool compare_FW_bin_files(QString const& a, QString const& b) {
    int const size_a = size_of_binary_file(a);
    if (size_a <= 0)
        return false;
    if (size_of_binary_file(b) != size_a)
        return false;
    QFile file_a(a);
    QFile file_b(b);
    if (!file_a.open(QIODevice::ReadOnly) || !file_b.open(QIODevice::ReadOnly))
        return false;
    QByteArray const bytes_a = file_a.readAll();
    QByteArray const bytes_b = file_b.readAll();
    return bytes_a.size() == bytes_b.size() && bytes_a == bytes_b;
}

Device::FW_Info read_FW_Info_from_desired_FW() {
    QString const path = working_file(Files::desired_FW_fileName_bin);
    qDebug() << "Reading desired FW_Info from " << path;
    return Device::make_FW_Info(path);
}

Device::FW_Info const& desired_FW_Info() {
    static Device::FW_Info info;
    static bool read = false;
    if (!read) {
        read = true;
        info = read_FW_Info_from_desired_FW();
    }
    return info;
}

} // namespace DFU
