#pragma once

#include "settings/settings.h"

#include <QProcessEnvironment>
#include <QStringList>

// The window's texts in the user's language. A translation is an overlay beside the English
// settings file, named after the language ("settings_GUI.de.json" beside "settings_GUI.json"),
// that holds only label ids and texts:
//   { "labels": [ { "id", "text" }, ... ] }
// A label that the overlay leaves out keeps its English text; positions, fonts and
// everything else always come from the English file.
namespace Settings {

// The languages the user asks for, best first, read as gettext reads them: the locale is the
// first non-empty of LC_ALL, LC_MESSAGES and LANG; "C" or "POSIX" (or none) mean English
// and then LANGUAGE is ignored; otherwise the colon-separated LANGUAGE list comes first,
// then the locale. Each entry gives its language with territory ("de_AT"), then the bare
// language ("de"), without codeset or modifier. Empty for English.
QStringList ui_languages(QProcessEnvironment const& environment);

// The overlay file for `language` beside the settings file `path`.
QString overlay_path(QString const& path, QString const& language);

// Replaces the texts of the labels that the overlay names; returns how many it replaced.
int apply_overlay(GUI& gui, QString const& overlay_json);

// The settings file with the first overlay that exists for `languages`; `used` gets its
// language (empty for English).
GUI make_localized_GUI(QString const& path, QStringList const& languages, QString* used = nullptr);

} // namespace Settings
