#include "files/files.h"

#include <QDebug>
#include <QDir>
#include <QFile>

namespace Files {

QTemporaryDir external_dir(QDir::tempPath() + "/upgrade_XXXXXX");

QString const dfu_util_executable_fileName = "dfu-util";
QString const desired_FW_fileName_dfu = "firmware.dfu";
QString const desired_FW_fileName_bin = "firmware.bin";
QString const uploaded_FW_fileName_bin = "uploaded_FW.bin";
QString const uploaded_FW_info_fileName_bin = "uploaded_FW_info.bin";
QString const uploaded_OTP_fileName_bin = "uploaded_OTP.bin";

std::map<ID, QString> basename = {
    {dfu_util_executable, dfu_util_executable_fileName},
    {libusb_dylib, QStringLiteral(KELVORA_LIBUSB_FILENAME)},
    {desired_FW_dfu, desired_FW_fileName_dfu},
    {desired_FW_bin, desired_FW_fileName_bin},
    {uploaded_FW_bin, uploaded_FW_fileName_bin},
    {uploaded_FW_info_bin, uploaded_FW_info_fileName_bin},
    {uploaded_OTP_bin, uploaded_OTP_fileName_bin},
};

bool extract_resources(std::vector<ID> ids, bool fail_on_error) {
    if (!external_dir.isValid()) {
        qInfo() << "Failed to create temporary directory:" << external_dir.errorString();
        return false;
    }
    bool ok = true;
    for (ID const id : ids) {
        QString const& name = basename[id];
        if (QFile::copy(":resources/" + name, external_dir.path() + "/" + name)) {
            qDebug() << "Extracted" << name;
        } else {
            qInfo() << "Failed to extract" << name;
            ok = false;
        }
    }
    return ok || !fail_on_error;
}

QString path_of(ID id) {
    return external_dir.path() + "/" + basename.at(id);
}

} // namespace Files
