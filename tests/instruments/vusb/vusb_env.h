#pragma once

// Test side of the virtual units: a bus folder in a temporary directory, units in it, and
// the environment that makes dfu-util see them. Link the target kelvora_vusb_env (it
// brings the include path, KELVORA_VUSB_LIBRARY and the build dependency):
//
//     vusb_env::Bus bus;
//     bus.add_unit({"unit1", "207A35A25542", otp_bytes, firmware_bytes});
//     process.setProcessEnvironment(bus.environment());   // or bus.export_to_process()
//
// The knobs are described in tests/instruments/vusb/README.md.

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QString>
#include <QTemporaryDir>

#include "udev_events.h"

#include <algorithm>

#ifndef KELVORA_VUSB_LIBRARY
#error "Link kelvora_vusb_env: it defines KELVORA_VUSB_LIBRARY"
#endif

namespace vusb_env {

constexpr int flash_size = 1024 * 1024;
constexpr int otp_size = 512 + 16;

struct UnitSetup {
    QString name = "unit1";          // folder name; units are listed in name order
    QString serial = "3276375B3333"; // any text: quotes, line feeds, "UNKNOWN", empty
    QByteArray otp;                  // from 0x1FFF7800; the rest reads erased (0xFF)
    QByteArray flash;                // from 0x08000000; the rest reads erased (0xFF)
    QMap<QString, QString> knobs;    // further "config" keys
};

inline QString library() {
    return QStringLiteral(KELVORA_VUSB_LIBRARY);
}

inline bool write_whole(QString const& path, QByteArray const& content) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.commit();
}

class Bus {
public:
    Bus() : dir_(QDir::tempPath() + "/vusb_XXXXXX") {}

    bool isValid() const { return dir_.isValid(); }
    QString path() const { return dir_.path(); }
    QString unit_path(QString const& name) const { return dir_.path() + "/" + name; }

    // Creates (or replaces) the unit's folder; returns false when a file could not be written.
    bool add_unit(UnitSetup const& setup) {
        QString const folder = unit_path(setup.name);
        if (!QDir().mkpath(folder))
            return false;
        for (char const* stale : {"flash.bin", "otp.bin", "state", "back_at"})
            QFile::remove(folder + "/" + QString(stale));
        QMap<QString, QString> knobs = setup.knobs;
        knobs.insert("serial", config_bytes(setup.serial));
        knobs_[setup.name] = knobs;
        bool ok = write_config(setup.name);
        if (!setup.flash.isEmpty())
            ok = write_whole(folder + "/flash.bin", padded(setup.flash, flash_size)) && ok;
        if (!setup.otp.isEmpty())
            ok = write_whole(folder + "/otp.bin", padded(setup.otp, otp_size)) && ok;
        return ok;
    }

    // Makes the unit with make_unit.sh and its options, as a person would; false (and the
    // script's errors logged) when that failed.
    bool make_unit(QString const& name, QStringList const& options) const {
        QProcess script;
        script.start(KELVORA_VUSB_MAKE_UNIT, options + QStringList{unit_path(name)});
        if (script.waitForFinished(60000) && script.exitCode() == 0)
            return true;
        qWarning("make_unit.sh: %s", script.readAllStandardError().constData());
        return false;
    }

    // Sets (empty value: removes) one knob of an existing unit.
    bool set_knob(QString const& name, QString const& key, QString const& value) {
        if (value.isEmpty())
            knobs_[name].remove(key);
        else
            knobs_[name].insert(key, value);
        return write_config(name);
    }

    QByteArray flash(QString const& name) const { return memory(name, "flash.bin", flash_size); }
    QByteArray otp(QString const& name) const { return memory(name, "otp.bin", otp_size); }

    // Pulls the unit out, or puts it back in; where udev_namespace.sh runs the test, udev's
    // event follows as it would on a real bus.
    bool unplug(QString const& name) {
        bool const done = write_whole(unit_path(name) + "/back_at", "never\n");
        announce(name, vusb::UdevAction::remove);
        return done;
    }
    bool plug_in(QString const& name) {
        QFile::remove(unit_path(name) + "/back_at");
        announce(name, vusb::UdevAction::add);
        return present(name);
    }

    // Sends udev's event for the unit as it stands on the bus now (see udev_events.h): its
    // port, its release and its current USB address. False when nothing was sent.
    bool announce(QString const& name, vusb::UdevAction action) const {
        QStringList units;
        for (QString const& folder : QDir(path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (QFile::exists(unit_path(folder) + "/config"))
                units << folder;
        std::sort(units.begin(), units.end());
        int const port = int(units.indexOf(name)) + 1;
        if (port == 0)
            return false;
        bool ok = false;
        uint const bcd = knobs_.value(name).value("bcd_device", "0x2200").toUInt(&ok, 0);
        int address = 1 + port;
        QFile state(unit_path(name) + "/state");
        if (state.open(QIODevice::ReadOnly))
            for (QByteArray const& line : state.readAll().split('\n'))
                if (line.startsWith("address="))
                    address = line.mid(8).toInt();
        return vusb::announce(action, port, uint16_t(ok ? bcd : 0x2200), uint8_t(address));
    }
    // On the bus now? A unit that left DFU mode is away until its "back_at" time.
    bool present(QString const& name) const {
        QFile file(unit_path(name) + "/back_at");
        if (!file.open(QIODevice::ReadOnly))
            return QDir(unit_path(name)).exists();
        QByteArray const text = file.readAll().trimmed();
        return text != "never" && text.toLongLong() <= QDateTime::currentMSecsSinceEpoch();
    }

    // `base` with the virtual bus preloaded into every child started with it.
    QProcessEnvironment
    environment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const {
        for (auto const& pair : variables(base.value("LD_PRELOAD"), base.value("ASAN_OPTIONS")))
            base.insert(pair.first, pair.second);
        return base;
    }

    // The same for this process's environment, which QProcess children inherit.
    void export_to_process() const {
        for (auto const& pair :
             variables(qEnvironmentVariable("LD_PRELOAD"), qEnvironmentVariable("ASAN_OPTIONS")))
            qputenv(pair.first.toLocal8Bit().constData(), pair.second.toLocal8Bit());
    }

    static void unexport_from_process() {
        qunsetenv("KELVORA_VUSB_DIR");
        QStringList preload = qEnvironmentVariable("LD_PRELOAD").split(' ', Qt::SkipEmptyParts);
        preload.removeAll(library());
        if (preload.isEmpty())
            qunsetenv("LD_PRELOAD");
        else
            qputenv("LD_PRELOAD", preload.join(' ').toLocal8Bit());
    }

    // A serial as the config (and make_unit.sh --serial) takes it: every byte that a config
    // line cannot hold as it is written \xNN.
    static QString config_bytes(QString const& serial) {
        QString text;
        for (char const c : serial.toUtf8()) {
            auto const byte = static_cast<unsigned char>(c);
            text += byte > ' ' && byte < 0x7F && c != '#' && c != '\\'
                        ? QString(QChar(c))
                        : QString::asprintf("\\x%02X", byte);
        }
        return text;
    }

private:
    QList<QPair<QString, QString>> variables(QString preload, QString asan) const {
        QStringList list = preload.split(' ', Qt::SkipEmptyParts);
        if (!list.contains(library()))
            list.prepend(library());
        // A sanitizer-built child would refuse to start with a library preloaded before its
        // runtime; the library intercepts nothing that the sanitizer needs.
        if (!asan.contains("verify_asan_link_order"))
            asan = asan.isEmpty() ? "verify_asan_link_order=0" : asan + ":verify_asan_link_order=0";
        return {{"LD_PRELOAD", list.join(' ')},
                {"KELVORA_VUSB_DIR", dir_.path()},
                {"ASAN_OPTIONS", asan}};
    }

    static QByteArray padded(QByteArray bytes, int size) {
        if (bytes.size() < size)
            bytes.append(QByteArray(size - bytes.size(), char(0xFF)));
        return bytes.left(size);
    }

    QByteArray memory(QString const& name, QString const& file_name, int size) const {
        QFile file(unit_path(name) + "/" + file_name);
        return padded(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), size);
    }

    bool write_config(QString const& name) {
        QByteArray text;
        auto const& knobs = knobs_[name];
        for (auto it = knobs.begin(); it != knobs.end(); ++it)
            text += (it.key() + "=" + it.value() + "\n").toUtf8();
        return write_whole(unit_path(name) + "/config", text);
    }

    QTemporaryDir dir_;
    QMap<QString, QMap<QString, QString>> knobs_;
};

} // namespace vusb_env
