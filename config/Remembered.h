#pragma once

#include <QString>
#include <QtGlobal>

class QWidget;

namespace kelm {

class MSComm;

// What the tool keeps between runs: the line confirmed by the last successful OK, the monitor's
// view, the windows' positions and the journal. It lives in a file of its own,
// $XDG_STATE_HOME/kelm/state.conf (~/.local/state/kelm/state.conf by default), replaced whole on
// every change and only when all of it was written; kelm.conf, which the user edits, is only
// read (and values an earlier version kept there are still used when the state file has none).
// Values out of range, and a file that cannot be read, leave the start values as they are.
namespace remembered {

QString stateFilePath();

void loadLine(MSComm &port);
void saveLine(const MSComm &port);

// true: the ASCII view (also when nothing is remembered).
bool monitorAscii();
void saveMonitorAscii(bool ascii);

// The traffic journal: its file and whether it records.
QString journalFile();
bool journalRecording();
void saveJournal(const QString &file, bool recording);

// A position that is on no screen now (a monitor since unplugged) is not used.
void restorePosition(QWidget &window, const QString &name);
void savePosition(const QWidget &window, const QString &name);

} // namespace remembered
} // namespace kelm
