#include "files/support_misc.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace support_misc {

void ensure_file_is_deleted(QString const& path) {
    QFileInfo const info(path);
    if (info.exists() && info.isFile())
        QFile::remove(path);
}

bool mark_file_executable(QString const& path) {
    QFile file(path);
    if (!file.exists()) {
        qWarning() << "Failed to mark file (doesn't exist) as executable:" << path;
        return false;
    }
    qDebug() << "Changing file permissions to make it executable:" << path;
    return file.setPermissions(file.permissions() | QFileDevice::ExeUser | QFileDevice::ExeGroup |
                               QFileDevice::ExeOther);
}

Platform compiled_for_platform() {
#if defined(Q_OS_MACOS)
    return Platform::macOS;
#elif defined(Q_OS_WIN)
    return Platform::windows;
#elif defined(Q_OS_LINUX)
    return Platform::Linux;
#else
    return Platform::unknown;
#endif
}

bool compiled_for_platform(Platform platform) {
    return platform == compiled_for_platform();
}

QString maybe_use_file_instead_of_resource(QString const& resource_path) {
    return resource_path;
}

QString load_text_file(QString const& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw QString("Couldn't open file: %1").arg(path);
    QByteArray const bytes = file.readAll();
    int const nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

QByteArray read_binary_file(QString const& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString remove_carriage_returns(QString const& text, QChar cr) {
    QString result = text;
    result.remove(cr, Qt::CaseSensitive);
    return result;
}

void show_resources() {
    QDirIterator it(":resources", QDirIterator::Subdirectories);
    while (it.hasNext())
        qDebug() << it.next();
}

} // namespace support_misc

QDebug operator<<(QDebug debug, support_misc::Platform platform) {
    QDebugStateSaver saver(debug);
    char const* name = "";
    switch (platform) {
    case support_misc::Platform::Linux:
        name = "Linux";
        break;
    case support_misc::Platform::macOS:
        name = "macOS";
        break;
    case support_misc::Platform::windows:
        name = "windows";
        break;
    case support_misc::Platform::unknown:
        name = "unknown";
        break;
    }
    debug.noquote() << name;
    return debug;
}
