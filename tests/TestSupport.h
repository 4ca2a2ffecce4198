#pragma once

#include "link/Clock.h"
#include "link/LinkHost.h"
#include "link/MSComm.h"
#include "link/TrafficSink.h"
#include "link/mod3964R.h"
#include "sim/PtyPair.h"
#include "sim/SimUnit.h"

#include <QByteArray>
#include <QImage>
#include <QMessageBox>
#include <QObject>
#include <QPaintEngine>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace kelm::test {

// Answers every modal message box with OK and keeps its text; a dialog of the tool's own is
// handed to the next queued action instead.
class ModalWatcher : public QObject
{
    Q_OBJECT

public:
    ModalWatcher();
    // Each message box's text, the object name of its owner window (empty for none), its icon.
    QStringList messages, owners;
    QList<QMessageBox::Icon> icons;
    // Actions for the next modal windows that are not message boxes (the configuration
    // dialog), taken in order.
    std::vector<std::function<void(QWidget *)>> dialogActions;

private:
    void check();
    QTimer m_timer;
    QPointer<QWidget> m_pending;
};

// A simulated unit on the master side of a pseudo-terminal pair.
struct UnitOnLine
{
    UnitOnLine();
    sim::PtyPair pty;
    std::unique_ptr<sim::SimUnit> unit;
    QString device() const { return QString::fromStdString(pty.slavePath()); }
    // Makes COM 1 of the port stand for this line.
    void wire(MSComm &port) const;
};

// The link on that line, with its serial event wired, ready to send.
struct LinkOnLine
{
    LinkOnLine(TrafficSink &sink, LinkHost &host, bool stx = false);
    sim::SimUnit &unit() { return *line.unit; }
    bool send(const QByteArray &t) { return link.TelegrammSenden(int(t.size()), t); }
    UnitOnLine line;
    MSComm port;
    mod3964R link;
    bool opened = false;
};

// Ends a helper process at once, and waits for it.
inline void kill(QProcess &process)
{
    process.kill();
    process.waitForFinished(3000);
}

// A server on this machine whose queue of connections is full: the next attempt to connect to
// it goes unanswered.
struct FullServer
{
    // Whether the queue filled.
    bool fill();
    QString url() const { return "tcp://127.0.0.1:" + QString::number(server.serverPort()); }
    // Whether some attempt to connect to it is under way (SYN_SENT in the socket table).
    bool tried() const;
    QTcpServer server;
    QTcpSocket queued[2];
};

// kelm-unit --pty LINK --script as a process of its own: commands in, settled blocks out.
class UnitProcess
{
public:
    UnitProcess(const QString &program, const QString &link);
    ~UnitProcess() { kill(); }
    void command(const QString &line) { m_process.write((line + QLatin1Char('\n')).toUtf8()); }
    void kill() { test::kill(m_process); }
    void clearRx()
    {
        rx.clear();
        rxMs.clear();
    }
    QStringList rx, tx, txFailed;
    QList<qint64> rxMs; // when the unit accepted each block of rx, on its own clock
    // The device at the far end of LINK, once the unit has named it.
    QString device;

private:
    void read();
    QProcess m_process;
};

// ser2net on 127.0.0.1 in front of a serial device, from a configuration written for it: kind
// "rfc2217" or "tcp", and the server's own setting of the line.
class Ser2net
{
public:
    Ser2net(const QString &device, const QString &kind, const QString &line = "9600e81");
    ~Ser2net() { stop(); }
    QString url; // kind://127.0.0.1:PORT; empty when the server did not start
    void stop() { kill(m_process); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

class RecordingSink : public TrafficSink
{
public:
    void V24MonWriteBuf(std::uint8_t d, std::uint8_t v) override { records.emplace_back(d, v); }
    std::vector<std::pair<std::uint8_t, std::uint8_t>> records;
};

// Real time for time-outs, but the pauses that do not yield take no time: the continuous
// test then runs at line speed.
class SkippingClock : public Clock
{
public:
    double now() const override { return steadyClock().now() + m_skipped; }
    void sleep(double seconds) override { m_skipped += std::max(0.0, seconds); }

private:
    double m_skipped = 0;
};

// A full disk without filling one: files of this process cannot grow past `bytes` while it
// lives (a write there fails with EFBIG instead of raising SIGXFSZ).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(long bytes);
    ~FileSizeLimit();
    Q_DISABLE_COPY(FileSizeLimit)

private:
    unsigned long m_saved = 0;
    bool m_restore = false;
};

// What is painted on it, a line a command, each with the pen, brush and transform in force: a
// drawing as text, the same on every machine. Text is kept as its words, size and pen only, and
// the family where one is asked for by name.
class PaintLog : public QImage
{
public:
    PaintLog(int width, int height);
    ~PaintLog() override;
    QPaintEngine *paintEngine() const override { return m_engine.get(); }
    QStringList lines;

private:
    std::unique_ptr<QPaintEngine> m_engine;
};

// An environment variable set (unset, for a null value) while this lives; what was there
// before, unset included, comes back however the test ends.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value)
        : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
    }
    ~ScopedEnv() { m_wasSet ? qputenv(m_name, m_old) : qunsetenv(m_name); }
    Q_DISABLE_COPY(ScopedEnv)

private:
    const char *m_name;
    bool m_wasSet;
    QByteArray m_old;
};

QByteArray bytes(std::initializer_list<int> values);
// A file's contents, empty for none; writing makes the folders and checks every byte went out.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &contents);
// What waits to be read on a descriptor, until it falls silent for ms or count bytes came.
QByteArray readAvailable(int fd, int ms = 200, int count = std::numeric_limits<int>::max());
// The process holding a serial port's lock for device in any folder ports are locked in, 0 for
// none. Another program's port may take a freed pseudo-terminal's name and lock at once.
qint64 portLockHolder(const QString &device);
// The kernel's table of IPv4 TCP sockets, /proc/net/tcp: addresses as hex "0100007F:PORT" (for
// 127.0.0.1, capitals), then the state ("0A" listening, "02" connecting).
QString socketTable();

} // namespace kelm::test
