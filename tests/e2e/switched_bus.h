#pragma once
// The bus that the whole tool sees in one test process: the tool's environment names a fixed
// folder, which is a link. A case points it at its own bus folder; between cases it points at
// an empty one (no unit). The link is replaced in one step, so no listing sees half a switch.
#include "vusb_env.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace switched_bus {

inline QString& link() {
    static QString path;
    return path;
}

inline QString& empty_bus() {
    static QString path;
    return path;
}

// Points the link at folder; false when that fails.
inline bool attach(QString const& folder) {
    QString const next = link() + ".next";
    QFile::remove(next);
    return QFile::link(folder, next) && std::rename(QFile::encodeName(next).constData(),
                                                    QFile::encodeName(link()).constData()) == 0;
}

// Makes the link (pointing at an empty bus) under root and the environment that every dfu-util
// started afterwards inherits: the virtual bootloader preloaded, the link as its bus, and
// the units' untimed answers. Call before anything starts a child.
inline bool set_up(QString const& root) {
    link() = root + "/bus";
    empty_bus() = root + "/empty";
    if (!QDir().mkdir(empty_bus()) || !attach(empty_bus()))
        return false;
    QStringList preload = qEnvironmentVariable("LD_PRELOAD").split(' ', Qt::SkipEmptyParts);
    preload.prepend(vusb_env::library());
    qputenv("LD_PRELOAD", preload.join(' ').toLocal8Bit());
    qputenv("KELVORA_VUSB_DIR", QFile::encodeName(link()));
    qunsetenv("KELVORA_VUSB_TIMING");
    return true;
}

} // namespace switched_bus
