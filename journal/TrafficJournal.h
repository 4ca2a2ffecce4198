#pragma once

#include "link/Clock.h"
#include "link/Settings.h"
#include "link/TrafficSink.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QTimer>
#include <ctime>
#include <functional>

namespace kelm {

// Every byte on the line and the events among them, in a text file that can run for days:
//
//   2026-12-07 14:03:12.345  +0000012.345  PC   02
//   2026-12-07 14:03:12.346  +0000012.346  KELM 10
//   2026-12-07 14:03:12.347  +0000012.347  PC   34 10 03 27
//   2026-12-07 14:03:13.002  +0000012.999  ---- send failed, error 137
//
// local date and time to the millisecond, the time since the port opened, then one line per
// block or burst in one direction (bytes as two-digit hex, as in the HEX log) or per event.
// The start line gives local time's offset from UTC, and a line of its own says when it
// changes. Bytes are kept in memory and reach the disk once a second and at every urgent event;
// the file is capped in size and rotated (FILE, FILE.1, ... FILE.n-1) between two lines, the new
// file's first line naming the one it continues.
class TrafficJournal : public QObject, public TrafficSink
{
    Q_OBJECT

public:
    explicit TrafficJournal(Clock &clock = steadyClock(), QObject *parent = nullptr);
    ~TrafficJournal() override;

    // Starts a new record at path (appending to what is there); false with the reason, and then
    // failed() is not emitted.
    bool start(const QString &path, QString *error, qint64 maxBytes = kDefaultJournalMaxBytes,
               int files = kDefaultJournalFiles);
    void stop();
    bool recording() const { return m_file.isOpen(); }
    QString path() const { return m_path; }
    // The time since the port opened counts from here.
    void portOpened(const QString &description);

    void V24MonWriteBuf(std::uint8_t direction, std::uint8_t value) override;
    void note(const QString &event, bool urgent = false) override;
    // Writes what is pending; false (and recording stopped) when the disk refused it, or the
    // file was removed or replaced under the journal.
    bool flush();
    // Why recording stopped on its own, empty while it records or after a stop().
    QString failure() const { return m_failure; }

signals:
    // The journal could not be written and stopped; said once, with the file and the reason.
    void failed(const QString &message);

private:
    // Starts a line of up to `room` characters after its head; false when recording stopped.
    bool beginLine(const char *tag, qsizetype room);
    void appendHead(const char *tag);
    bool rotate();
    bool writePending();
    bool fileStillThere();
    bool fail(const QString &reason);

    Clock &m_clock;
    QFile m_file;
    QString m_path;
    qint64 m_maxBytes = kDefaultJournalMaxBytes;
    int m_files = kDefaultJournalFiles;
    qint64 m_written = 0;
    QByteArray m_pending;
    QTimer m_flushTimer;
    double m_openedAt = 0;
    int m_direction = -1; // of the line under way, -1 for none
    double m_lastByte = 0;
    int m_lineBytes = 0;
    bool m_lineOpen = false; // a byte line is under way, with no line end yet
    long m_utcOffset = 0;    // s, of the local time in the lines so far
    bool m_starting = false;
    bool m_rotates = true; // a file of its own, not a device
    QString m_failure;
};

// The head of a journal line: local time with the milliseconds of `nanoseconds`, the seconds
// since the port opened and the direction's or event's tag.
QByteArray journalLineHead(const tm &local, long nanoseconds, double sinceOpened, const char *tag);

} // namespace kelm
