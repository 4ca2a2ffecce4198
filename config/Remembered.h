#pragma once

#include <QString>
#include <QtGlobal>

class QWidget;

namespace kelm {

class MSComm;

// What the tool keeps between runs, in kelm.conf beside the port mapping: the line confirmed by
// the last successful OK, the monitor's view and the windows' positions. Values out of range,
// and a file that cannot be read, leave the start values as they are.
namespace remembered {

void loadLine(MSComm &port);
void saveLine(const MSComm &port);

// true: the ASCII view (also when nothing is remembered).
bool monitorAscii();
void saveMonitorAscii(bool ascii);

// The traffic journal: its file, whether it records, its size cap per file and file count.
QString journalFile();
bool journalRecording();
qint64 journalMaxBytes();
int journalFiles();
void saveJournal(const QString &file, bool recording);

// A position that is on no screen now (a monitor since unplugged) is not used.
void restorePosition(QWidget &window, const QString &name);
void savePosition(const QWidget &window, const QString &name);

} // namespace remembered
} // namespace kelm
