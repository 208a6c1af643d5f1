#include "files/files.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

namespace Files {

namespace {

QString last_extraction_error;

// Copies the resource into a new file (never over an existing one); an empty text on success.
QString copy_resource(QString const& resource, QString const& target) {
    QFile source(resource);
    if (!source.open(QIODevice::ReadOnly))
        return source.errorString();
    QFile copy(target);
    // Unbuffered, so that a write that does not fit fails here with the system's reason.
    if (!copy.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return copy.errorString();
    constexpr qint64 chunk = 64 * 1024;
    while (!source.atEnd()) {
        QByteArray const bytes = source.read(chunk);
        if (bytes.isEmpty() && source.error() != QFileDevice::NoError)
            return source.errorString();
        // A short write is retried for the rest, which then fails with the reason.
        for (qint64 done = 0; done < bytes.size();) {
            qint64 const written = copy.write(bytes.constData() + done, bytes.size() - done);
            if (written <= 0)
                return copy.errorString();
            done += written;
        }
    }
    if (!copy.flush())
        return copy.errorString();
    copy.close();
    if (copy.error() != QFileDevice::NoError)
        return copy.errorString();
    // Like the resource itself: read-only for everybody until start-up marks dfu-util runnable.
    copy.setPermissions(source.permissions());
    return {};
}

} // namespace

WorkingDir external_dir(temporary_base());

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
    last_extraction_error.clear();
    if (!external_dir.isValid()) {
        qInfo() << "Failed to create temporary directory:" << external_dir.errorString();
        last_extraction_error = external_dir.errorString();
        return false;
    }
    bool ok = true;
    for (ID const id : ids) {
        QString const& name = basename[id];
        QString const resource = ":resources/" + name;
        QString const target = external_dir.path() + "/" + name;
        QString cause = QFile::exists(resource) ? copy_resource(resource, target)
                                                : QStringLiteral("no such resource");
        if (cause.isEmpty())
            cause = differs_from_resource(target, resource);
        if (cause.isEmpty()) {
            qDebug() << "Extracted" << name;
        } else {
            qInfo() << "Failed to extract" << name << cause;
            if (ok)
                last_extraction_error = name + ": " + cause;
            ok = false;
        }
    }
    return ok || !fail_on_error;
}

QString extraction_error() {
    return last_extraction_error;
}

QString differs_from_resource(QString const& path, QString const& resource) {
    QFile copy(path);
    QFile original(resource);
    if (!original.open(QIODevice::ReadOnly))
        return original.errorString();
    if (!copy.open(QIODevice::ReadOnly))
        return copy.errorString();
    if (copy.size() != original.size())
        return QStringLiteral("%1 bytes instead of %2").arg(copy.size()).arg(original.size());
    constexpr qint64 chunk = 64 * 1024;
    for (qint64 at = 0; at < original.size(); at += chunk)
        if (copy.read(chunk) != original.read(chunk))
            return QStringLiteral("content differs from the embedded file near byte %1").arg(at);
    return {};
}

QString cannot_write(QString const& path, qint64 bytes) {
    QFileInfo const file(path);
    QFileInfo const folder(file.absolutePath());
    if (!folder.isDir())
        return QStringLiteral("the folder %1 does not exist").arg(folder.filePath());
    if (!folder.isWritable())
        return QStringLiteral("the folder %1 is not writable").arg(folder.filePath());
    if (file.exists() && !file.isWritable())
        return QStringLiteral("%1 is not writable").arg(path);
    QStorageInfo const storage(folder.filePath());
    // What a failed transfer already wrote counts as room it would have had.
    qint64 const needed = qMax<qint64>(1, bytes - (file.exists() ? file.size() : 0));
    if (storage.isValid() && storage.bytesAvailable() < needed)
        return QStringLiteral("no room left in %1 (%2 bytes free, %3 needed)")
            .arg(folder.filePath())
            .arg(storage.bytesAvailable())
            .arg(needed);
    return {};
}

QString cannot_read(QString const& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1 (%2)").arg(path, file.errorString());
    return {};
}

QString path_of(ID id) {
    return external_dir.path() + "/" + basename.at(id);
}

} // namespace Files
