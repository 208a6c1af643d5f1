#pragma once

#include <QByteArray>
#include <QChar>
#include <QDebug>
#include <QString>

// Small file and build helpers shared by the subsystems.
namespace support_misc {

enum class Platform { Linux = 0, macOS = 1, windows = 2, unknown = 3 };

#ifdef DEBUG
constexpr bool compiled_w_DEBUG = true;
#else
constexpr bool compiled_w_DEBUG = false;
#endif

void ensure_file_is_deleted(QString const& path);
bool mark_file_executable(QString const& path);
Platform compiled_for_platform();
bool compiled_for_platform(Platform platform);
QString maybe_use_file_instead_of_resource(QString const& resource_path);
// Throws a QString "Couldn't open file: <path>" when the file cannot be opened.
QString load_text_file(QString const& path);
// The whole file, or a null array when it cannot be read.
QByteArray read_binary_file(QString const& path);
QString remove_carriage_returns(QString const& text, QChar cr = QChar(13));
void show_resources();

} // namespace support_misc

QDebug operator<<(QDebug debug, support_misc::Platform platform);
