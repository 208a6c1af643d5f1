#pragma once

#include <QString>

// The typeface the program carries and makes the application's default font.
namespace support {

// Family of the loaded regular face; empty while none could be loaded.
extern QString kelvora_font_name;

// Registers the font file and returns its first family name, or an empty string.
QString load_font(QString path);
// Loads the regular and bold faces on the first call only; returns kelvora_font_name.
QString load_kelvora_fonts();
// Makes the family the application's default at 11 points; an empty name does nothing.
void set_default_font(QString family);
void setup_fonts();

} // namespace support
