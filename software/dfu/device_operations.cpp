#include "dfu/device_operations.h"

#include "device/unit_text.h"
#include "dfu/dfu_util_progress.h"
#include "files/build_switches.h"
#include "files/files.h"
#include "files/support_misc.h"

#include <QDebug>
#include <QFile>
#include <QSaveFile>

#include <limits>

namespace DFU {

namespace {

QString working_file(QString const& name) {
    return Files::external_dir.path() + "/" + name;
}

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

Result read_device_info(DeviceItem const* item, DeviceInfo* info) {
    QString const otp_file = working_file(Files::uploaded_OTP_fileName_bin);
    support_misc::ensure_file_is_deleted(otp_file);
    Result result = run_command(upload_OTP, {otp_file});
    if (result.first != 0 || !info)
        return result;

    info->OTP_info = Device::make_OTP_Info(otp_file);
    if (info->OTP_info.blank)
        qInfo().noquote() << Device::loggable_lines(result.second) + "OTP is blank.\n";
    info->device_type = info->OTP_info.product.type;
    info->valid = true;
    qInfo() << QString(info->OTP_info);

    info->FW_info = read_FW_Info(item);

    bool const same_product = info->OTP_info.product == info->FW_info.product ||
                              (info->OTP_info.blank && have_service_build());
    if (same_product) {
        info->FW_revision = info->FW_info.revision;
        qInfo().noquote() << QString(*info);
        qInfo() << info->FW_info;
    } else {
        result.second += "FW assumed invalid because of product type mismatch.";
        result.second += "\nOTP contains";
        result.second += QString(info->OTP_info.product);
        result.second += "\nwhereas FW contains\n";
        result.second += QString(info->FW_info);
        qInfo().noquote() << Device::loggable_lines(result.second);
        info->FW_info.valid = false;
    }
    return result;
}

Device::FW_Info read_FW_Info(DeviceItem const* /*item*/) {
    QString const file = working_file(Files::uploaded_FW_info_fileName_bin);
    support_misc::ensure_file_is_deleted(file);
    if (run_command(upload_FW_info, {file}).first != 0)
        return Device::FW_Info();
    return Device::make_FW_Info(file);
}

namespace {

QStringList naming(QString const& serial) {
    return serial.isEmpty() ? QStringList() : QStringList{"-S", serial};
}

} // namespace

int download_FW_to_device(QString const& file, QString const& serial,
                          ProgressHandler const& on_progress) {
    return run_with_progress(download_FW, QStringList{file} + naming(serial), on_progress).first;
}

int upload_FW_from_device(QString const& file, int size, QString const& serial,
                          ProgressHandler const& on_progress) {
    support_misc::ensure_file_is_deleted(file);
    return run_with_progress(upload_FW,
                             QStringList{"-s", QString("0x08000000:%1").arg(size), "-U", file} +
                                 naming(serial),
                             on_progress)
        .first;
}

bool upload_and_compare_FW_bin(QString const& desired, QString const& uploaded) {
    int const size = size_of_binary_file(desired);
    if (size <= 0)
        return false;
    if (upload_FW_from_device(uploaded, size) != 0)
        return false;
    return compare_FW_bin_files(desired, uploaded);
}

bool upload_and_compare_FW(QByteArray const& image, QString const& uploaded, QString const& serial,
                           ProgressHandler const& on_progress) {
    if (image.isEmpty())
        return false;
    if (upload_FW_from_device(uploaded, image.size(), serial, on_progress) != 0)
        return false;
    return support_misc::read_binary_file(uploaded) == image;
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
