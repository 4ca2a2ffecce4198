#pragma once

#include <QSettings>
#include <QString>
#include <memory>

namespace kelm {

// The file the user edits, $XDG_CONFIG_HOME/kelm/kelm.conf (~/.config/kelm/kelm.conf by
// default), shared by every program of the project: [Ports] and the journal's size and count.
// The programs only ever read it, so the user's comments and layout stay as written. The path
// is looked up on each call, so a changed XDG_CONFIG_HOME counts from then on.
QString settingsFilePath();

// The settings file for reading; null for one that cannot be read or holds nonsense. Either,
// and a line that is no setting (a typo that lost its "="), is reported once on stderr.
std::unique_ptr<const QSettings> openSettings();

// The device the settings file maps COM n to ([Ports] ComN=/dev/...), or empty.
QString mappedComDevice(int n);

// The traffic journal's size cap per file and its number of files ([Journal] MaxSizeMB, Files),
// the defaults where they are missing or out of range.
inline constexpr qint64 kDefaultJournalMaxBytes = 10 * 1024 * 1024;
inline constexpr int kDefaultJournalFiles = 5;
qint64 configuredJournalMaxBytes();
int configuredJournalFiles();

} // namespace kelm
