#include "gui/fonts.h"

#include <QApplication>
#include <QDebug>
#include <QFont>
#include <QFontDatabase>

namespace support {

QString kelvora_font_name;

QString load_font(QString path) {
    int const id = QFontDatabase::addApplicationFont(path);
    if (id < 0)
        qWarning() << "Unable to load font from " << path;
    QStringList const families = QFontDatabase::applicationFontFamilies(id);
    return families.isEmpty() ? QString() : families.first();
}

QString load_kelvora_fonts() {
    static bool loaded = false;
    if (!loaded) {
        loaded = true;
        kelvora_font_name = load_font(":resources/KelvoraSans-Regular.otf");
        // Same family; loading it gives rich-text spans a real bold face.
        load_font(":resources/KelvoraSans-Bold.otf");
    }
    return kelvora_font_name;
}

void set_default_font(QString family) {
    if (family.isEmpty())
        return;
    QApplication::setFont(QFont(family, 11, -1, false));
}

void setup_fonts() {
    kelvora_font_name = load_kelvora_fonts();
    if (!kelvora_font_name.isEmpty()) {
        set_default_font(kelvora_font_name);
        qInfo() << "Load/set default font:" << kelvora_font_name;
    } else {
        qWarning() << "Unable to load/set the Kelvora font as default";
    }
}

} // namespace support
