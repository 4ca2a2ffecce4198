// The serial port adapter on a real pseudo-terminal: raw bytes both ways, counts seen without
// the event loop, the receive threshold, the settings, a vanished port; and the 3964R link over
// it against the simulated unit, where the real line's timing matters.
#include "TestSupport.h"
#include "link/MSComm.h"

#include <QDir>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace kelm;

namespace {
// Com 1 on a pseudo-terminal whose far end is read and written by the test itself.
struct RawLine
{
    explicit RawLine(const QString &settings = QStringLiteral("9600,e,8,1"))
    {
        line.unit->stop();
        line.wire(port);
        port.setSettings(settings);
        opened = port.setPortOpen(true);
    }
    void write(const QByteArray &b) { QCOMPARE(::write(fd(), b.constData(), b.size()), b.size()); }
    QByteArray read(int count)
    {
        QByteArray out;
        pollfd p{fd(), POLLIN, 0};
        char buf[512];
        while (out.size() < count && ::poll(&p, 1, 2000) > 0) {
            const ssize_t n = ::read(fd(), buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, n);
        }
        return out;
    }
    int fd() const { return line.pty.master(); }
    test::UnitOnLine line;
    MSComm port;
    bool opened = false;
};
using Records = std::vector<std::pair<std::uint8_t, std::uint8_t>>;

struct LinkRig
{
    explicit LinkRig(bool stx = false) : on(sink, host, stx) {}
    bool send(const QByteArray &t) { return on.send(t); }
    int stxSent() const { return int(sink.bytes(DirPc).count(char(ctl::STX))); }
    test::RecordingSink sink;
    test::FakeHost host;
    test::LinkOnLine on;
};
} // namespace

class PortTest : public QObject
{
    Q_OBJECT

private slots:
    // Every byte value both ways, unchanged; the count sees waiting bytes without the event
    // loop; waiting on a silent line sleeps rather than returning at once.
    void rawBytesBothWays()
    {
        RawLine raw;
        QVERIFY2(raw.opened, qPrintable(raw.port.errorString()));
        QByteArray all;
        for (int v = 0; v < 256; ++v)
            all += static_cast<char>(v);
        for (char c : all)
            raw.port.output(QByteArray(1, c));
        QCOMPARE(raw.read(256), all);
        raw.write(all);
        QByteArray back;
        raw.port.setInputLen(1);
        QElapsedTimer t;
        t.start();
        while (back.size() < 256 && t.elapsed() < 3000) {
            if (raw.port.inBufferCount() > 0)
                back += raw.port.input();
            else
                raw.port.waitForInput(20);
        }
        QCOMPARE(back, all);
        raw.write("abc");
        while (raw.port.inBufferCount() < 3 && t.elapsed() < 5000)
            raw.port.waitForInput(20);
        QCOMPARE(raw.port.inBufferCount(), 3);
        QCOMPARE(raw.port.input(), QByteArray("a"));
        QCOMPARE(raw.port.inBufferCount(), 2);
        raw.port.setInputLen(0);
        QCOMPARE(raw.port.input(), QByteArray("bc"));
        t.restart();
        QVERIFY(!raw.port.waitForInput(50));
        QVERIFY(t.elapsed() >= 40);
    }

    void thresholdSwitchesTheSerialEvent()
    {
        RawLine raw;
        QSignalSpy events(&raw.port, &MSComm::OnComm);
        raw.port.setRThreshold(0);
        raw.write("x");
        QTest::qWait(200);
        QCOMPARE(events.count(), 0);
        // Back to 1 with the byte still waiting: one event, so it is not left lying.
        raw.port.setRThreshold(1);
        QCOMPARE(events.count(), 0); // never from inside the call, only through the event loop
        QTRY_COMPARE(events.count(), 1);
        QCOMPARE(raw.port.commEvent(), CommPort::EventReceive);
        raw.port.setInputLen(0);
        raw.port.input();
        raw.write("y");
        QTRY_COMPARE(events.count(), 2);
    }

    void settingsAreApplied()
    {
        RawLine raw(QStringLiteral("19200,e,8,1"));
        termios tio{};
        // The slave's settings are visible through any descriptor of the pair.
        QCOMPARE(::tcgetattr(raw.fd(), &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B19200));
        QCOMPARE(tio.c_cflag & (CSIZE | CSTOPB), tcflag_t(CS8));
        // A pseudo-terminal has no parity bit to keep; what was applied is checked instead.
        QCOMPARE(raw.port.appliedSettings().parity, QSerialPort::EvenParity);
        raw.port.setSettings(QStringLiteral("9600,e,8,1"));
        QCOMPARE(::tcgetattr(raw.fd(), &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
        LineSettings s;
        QVERIFY(!parseLineSettings(QStringLiteral("9600,x,8,1"), &s));
    }

    void emptyReadIsNotALoss_data()
    {
        QTest::addColumn<int>("staleErrno");
        QTest::newRow("EAGAIN left over") << EAGAIN;
        QTest::newRow("ENOENT left over") << ENOENT;
    }

    // The link's own polls take bytes that the port's read notifier has already been told of;
    // the notifier's read then comes back empty with whatever errno was left. That is no data,
    // not a device that went away, and later bytes must still raise the serial event.
    void emptyReadIsNotALoss()
    {
        QFETCH(int, staleErrno);
        RawLine raw;
        MSComm &port = raw.port;
        QSignalSpy lost(&port, &MSComm::portLost);
        QSignalSpy events(&port, &MSComm::OnComm);
        for (int round = 0; round < 3; ++round) {
            raw.write("s");
            QTest::qSleep(30); // the byte is in the slave's queue before the loop polls
            // Runs before the read notifier in the same pass of the event loop.
            QMetaObject::invokeMethod(
                &port,
                [&port, staleErrno] {
                    port.setInputLen(0);
                    while (port.inBufferCount() > 0)
                        port.input();
                    errno = staleErrno;
                },
                Qt::QueuedConnection);
            QCoreApplication::processEvents();
            QTest::qWait(50);
            QVERIFY(port.portOpen());
            QCOMPARE(lost.count(), 0);
        }
        const int before = events.count();
        raw.write("t");
        QTRY_VERIFY(events.count() > before);
        port.setInputLen(0);
        QCOMPARE(port.input(), QByteArray("t"));
    }

    void vanishedPortClosesAndSaysSo()
    {
        RawLine raw;
        QSignalSpy lost(&raw.port, &MSComm::portLost);
        raw.line.pty.closeMaster();
        QTRY_VERIFY(!raw.port.portOpen());
        QTRY_COMPARE(lost.count(), 1);
        // The reason of the loss itself, not whatever errno an earlier call left.
        QCOMPARE(lost[0][0].toString(),
                 "Com 1 (" + raw.line.device() + "): Device disappeared from the system");
        QCOMPARE(raw.port.inBufferCount(), 0);
        raw.port.output("x");
    }

    void reopenAfterLossBeforeTheEventLoopRan()
    {
        RawLine first;
        first.line.pty.closeMaster();
        QElapsedTimer t;
        t.start();
        while (first.port.portOpen() && t.elapsed() < 2000)
            first.port.waitForInput(20); // notices the loss without the event loop
        QVERIFY(!first.port.portOpen());
        RawLine second;
        second.port.setPortOpen(false);
        second.line.wire(first.port);
        QVERIFY(first.port.setPortOpen(true));
        QTest::qWait(100); // the queued close of the lost port must not touch the new one
        QVERIFY(first.port.portOpen());
        first.port.output("k");
        QCOMPARE(second.read(1), QByteArray("k"));
    }

    // [Ports] in kelm.conf maps Com n to any device; without it, or with a file that cannot be
    // read, the enumeration holds.
    void settingsFileMapsComNumbers()
    {
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
        const QString enumerated = defaultComDevice(2);
        test::UnitOnLine line;
        line.unit->stop();
        QVERIFY(QDir(home.path()).mkpath("kelm"));
        {
            QSettings conf(home.filePath("kelm/kelm.conf"), QSettings::IniFormat);
            conf.setValue("Ports/Com2", line.device());
            conf.setValue("Ports/Com3", "/dev/kelm-missing");
        }
        MSComm port;
        QCOMPARE(port.deviceFor(2), line.device());
        QCOMPARE(port.deviceFor(1), defaultComDevice(1));
        port.setCommPort(2);
        QVERIFY(port.setPortOpen(true));
        port.setPortOpen(false);
        port.setCommPort(3);
        QVERIFY(!port.setPortOpen(true));
        QCOMPARE(port.errorString(),
                 QStringLiteral("Com 3 (/dev/kelm-missing): No such file or directory"));
        // A settings file that cannot be read is passed over.
        QVERIFY(QFile::remove(home.filePath("kelm/kelm.conf")));
        QVERIFY(QDir(home.path()).mkpath("kelm/kelm.conf"));
        QCOMPARE(port.deviceFor(2), enumerated);
        qunsetenv("XDG_CONFIG_HOME");
    }

    void statusQueryOnTheLine_data()
    {
        QTest::addColumn<bool>("stx");
        QTest::newRow("variant without STX") << false;
        QTest::newRow("variant STX") << true;
    }

    void statusQueryOnTheLine()
    {
        QFETCH(bool, stx);
        LinkRig rig(stx);
        QVERIFY(rig.on.opened);
        rig.on.unit().setStatusReply({0x31, 0x41, 0x51});
        QVERIFY(rig.send("#"));
        std::array<std::uint8_t, 6> puffer;
        puffer.fill(0xEE);
        int anzahl = 3;
        QVERIFY(rig.on.link.TelegrammEmpfangen(anzahl, puffer));
        QCOMPARE(anzahl, 3);
        const std::uint8_t bcc = stx ? 50 : 48;
        const std::uint8_t replyBcc = (0x31 ^ 0x41 ^ 0x51 ^ 16 ^ 3) ^ (stx ? 2 : 0);
        const std::array<std::uint8_t, 6> expected{0, 0x31, 0x41, 0x51, replyBcc, 0xEE};
        QCOMPARE(puffer, expected);
        // Every byte of both exchanges reaches the record, in line order.
        const Records records{{0, 2},  {1, 16}, {0, '#'},      {0, 16},   {0, 3},    {0, bcc},
                              {1, 16}, {1, 2},  {0, 16},       {1, 0x31}, {1, 0x41}, {1, 0x51},
                              {1, 16}, {1, 3},  {1, replyBcc}, {0, 16}};
        QCOMPARE(rig.sink.records, records);
        QCOMPARE(rig.on.unit().receivedTelegrams(), std::vector<sim::Bytes>{{'#'}});
    }

    // An operator's click during a send's line wait starts a send of its own there; each keeps
    // its own six attempts.
    void nestedSendsKeepTheirOwnAttempts()
    {
        LinkRig rig;
        rig.on.link.LinkStatus = linkstatus::Data; // a reception under way holds the outer send
        rig.on.link.EmpfangZeit = steadyClock().now() + 100;
        bool nestedSent = false;
        rig.host.onPump = [&] {
            rig.host.onPump = nullptr;
            rig.on.link.LinkStatus = linkstatus::Idle;
            rig.on.unit().nakNextBlocks(3);
            nestedSent = rig.send(QByteArray(1, 0x33));
            rig.on.unit().nakNextBlocks(5);
        };
        QVERIFY(rig.send(QByteArray(1, 0x32)));
        QVERIFY(nestedSent);
        QCOMPARE(rig.stxSent(), 4 + 6);
        QCOMPARE(rig.on.unit().receivedTelegrams(), (std::vector<sim::Bytes>{{0x33}, {0x32}}));
        QVERIFY(rig.host.messages.isEmpty());
    }

    void pendingStxIsTakenNotDropped()
    {
        LinkRig rig;
        // The unit starts a telegram right after the sender's line wait looked.
        rig.on.port.setRThreshold(0);
        rig.on.unit().sendReport({0x37});
        QTRY_COMPARE(rig.on.port.inBufferCount(), 1);
        QVERIFY(rig.send(QByteArray(1, 0x31)));
        QCOMPARE(rig.host.tasten, std::vector<std::uint8_t>{0x37});
        QCOMPARE(rig.on.unit().receivedTelegrams(), std::vector<sim::Bytes>{{0x31}});
        QVERIFY(rig.host.messages.isEmpty());
    }
};

QTEST_MAIN(PortTest)
#include "tst_port.moc"
