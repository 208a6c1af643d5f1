#include "settings/translations.h"

#include "files/support_misc.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Settings {

namespace {

bool means_english(QString const& locale) {
    return locale.isEmpty() || locale == "C" || locale == "POSIX" || locale.startsWith("C.");
}

// "de_AT.UTF-8@euro" gives "de_AT" and "de".
void add_language(QString entry, QStringList& languages) {
    entry = entry.section('@', 0, 0).section('.', 0, 0);
    QString const bare = entry.section('_', 0, 0);
    for (QString const& candidate : {entry, bare}) {
        if (!candidate.isEmpty() && !languages.contains(candidate))
            languages << candidate;
    }
}

} // namespace

QStringList ui_languages(QProcessEnvironment const& environment) {
    QString locale;
    for (char const* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = environment.value(name);
        if (!locale.isEmpty())
            break;
    }
    QStringList languages;
    if (means_english(locale))
        return languages;
    for (QString const& entry : environment.value("LANGUAGE").split(':', Qt::SkipEmptyParts)) {
        // English asked for before any other language ends the list.
        if (means_english(entry) || entry.startsWith("en"))
            return languages;
        add_language(entry, languages);
    }
    if (!locale.startsWith("en"))
        add_language(locale, languages);
    return languages;
}

QString overlay_path(QString const& path, QString const& language) {
    QFileInfo const info(path);
    return info.path() + "/" + info.completeBaseName() + "." + language + "." + info.suffix();
}

int apply_overlay(GUI& gui, QString const& overlay_json) {
    QJsonObject const root = QJsonDocument::fromJson(overlay_json.toUtf8()).object();
    int replaced = 0;
    for (QJsonValue const& element : root.value("labels").toArray()) {
        QJsonObject const entry = element.toObject();
        QJsonValue const id = entry.value("id");
        QJsonValue const text = entry.value("text");
        if (!id.isString() || !text.isString())
            continue;
        for (LabelData& label : gui.labels) {
            if (label.id == id.toString()) {
                label.text = text.toString();
                ++replaced;
                break;
            }
        }
    }
    return replaced;
}

GUI make_localized_GUI(QString const& path, QStringList const& languages, QString* used) {
    GUI gui = make_GUI(path);
    if (used)
        used->clear();
    for (QString const& language : languages) {
        QString const overlay =
            support_misc::maybe_use_file_instead_of_resource(overlay_path(path, language));
        if (!QFileInfo::exists(overlay))
            continue;
        apply_overlay(gui, load_settings_file(overlay_path(path, language)));
        if (used)
            *used = language;
        break;
    }
    return gui;
}

} // namespace Settings
