#pragma once

#include <QString>

class QSettings;

// The text of an INI setting exactly as the file writes it.
//
// QSettings hands back a value with an unquoted comma as a list and drops the blanks around each
// comma, so "dir/a, b.txt" would come back as "dir/a" and "b.txt". For such a value the line is
// looked up in the file itself and decoded by the same rules, commas and blanks kept. `key` is
// relative to the settings' current group. `asWritten` (may be null) is set to false when a list
// could not be found in the file as QSettings read it; the text is then the list joined by ",".
QString iniText(const QSettings& settings, const QString& key, bool* asWritten = nullptr);
