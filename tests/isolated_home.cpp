#include "isolated_home.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtGlobal>

namespace {

struct Home {
    QString real_data;
    QTemporaryDir dir{QDir::tempPath() + "/kelvora-test-home-XXXXXX"};

    Home() {
        real_data = qEnvironmentVariable("XDG_DATA_HOME");
        if (real_data.isEmpty())
            real_data = QDir::homePath() + "/.local/share";
        for (char const* name :
             {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
            QString const folder = dir.path() + "/" + QString(name).toLower();
            QDir().mkpath(folder);
            qputenv(name, QFile::encodeName(folder));
        }
    }
};

Home& home() {
    static Home instance;
    return instance;
}

// Before main, so that the environment holds the folders before anything reads it.
[[maybe_unused]] Home const& made_before_main = home();

} // namespace

namespace isolated_home {

QString root() {
    return home().dir.path();
}

QString real_data_home() {
    return home().real_data;
}

} // namespace isolated_home
