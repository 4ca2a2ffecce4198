// The serial port adapter on a real pseudo-terminal: raw bytes both ways, counts seen without
// the event loop, the receive threshold, the settings, and a closed or vanished port.
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
QByteArray readMaster(int fd, int count, int ms = 2000)
{
    QByteArray out;
    while (out.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            break;
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, n);
    }
    return out;
}
} // namespace

class PortTest : public QObject
{
    Q_OBJECT

private slots:
    void bytesPassUnchangedBothWays()
    {
        test::UnitOnLine line;
        line.unit->stop(); // the raw line only
        MSComm port;
        line.wire(port);
        QVERIFY2(port.setPortOpen(true), qPrintable(port.errorString()));

        QByteArray all;
        for (int v = 0; v < 256; ++v)
            all += static_cast<char>(v);
        for (char c : all)
            port.output(QByteArray(1, c));
        QCOMPARE(readMaster(line.pty.master(), 256), all);

        QCOMPARE(::write(line.pty.master(), all.constData(), all.size()), ssize_t(256));
        QByteArray back;
        port.setInputLen(1);
        QElapsedTimer t;
        t.start();
        while (back.size() < 256 && t.elapsed() < 3000) {
            if (port.inBufferCount() > 0)
                back += port.input();
            else
                port.waitForInput(20);
        }
        QCOMPARE(back, all);
    }

    void countSeesBytesWithoutEventLoop()
    {
        test::UnitOnLine line;
        line.unit->stop();
        MSComm port;
        line.wire(port);
        QVERIFY(port.setPortOpen(true));
        QCOMPARE(port.inBufferCount(), 0);
        QCOMPARE(::write(line.pty.master(), "abc", 3), ssize_t(3));
        // No event loop runs here: the count must still see the bytes.
        QElapsedTimer t;
        t.start();
        while (port.inBufferCount() < 3 && t.elapsed() < 2000)
            port.waitForInput(20);
        QCOMPARE(port.inBufferCount(), 3);
        port.setInputLen(1);
        QCOMPARE(port.input(), QByteArray("a"));
        QCOMPARE(port.inBufferCount(), 2);
        // Waiting for a byte on a silent line sleeps rather than returning at once.
        port.setInputLen(0);
        port.input();
        t.restart();
        QVERIFY(!port.waitForInput(50));
        QVERIFY(t.elapsed() >= 40);
    }

    void thresholdSwitchesTheSerialEvent()
    {
        test::UnitOnLine line;
        line.unit->stop();
        MSComm port;
        line.wire(port);
        QVERIFY(port.setPortOpen(true));
        QSignalSpy events(&port, &MSComm::OnComm);

        port.setRThreshold(0);
        QCOMPARE(::write(line.pty.master(), "x", 1), ssize_t(1));
        QTest::qWait(200);
        QCOMPARE(events.count(), 0);

        // Back to 1 with the byte still waiting: one event, so it is not left lying.
        port.setRThreshold(1);
        QCOMPARE(events.count(), 0); // never from inside the call, only through the event loop
        QTRY_COMPARE(events.count(), 1);
        QCOMPARE(port.commEvent(), CommPort::EventReceive);
        port.setInputLen(0);
        port.input();

        QCOMPARE(::write(line.pty.master(), "y", 1), ssize_t(1));
        QTRY_COMPARE(events.count(), 2);
    }

    void settingsAreApplied()
    {
        test::UnitOnLine line;
        line.unit->stop();
        MSComm port;
        line.wire(port);
        port.setSettings(QStringLiteral("19200,e,8,1"));
        QVERIFY(port.setPortOpen(true));
        termios tio{};
        // The slave's settings are visible through any descriptor of the pair.
        QCOMPARE(::tcgetattr(line.pty.master(), &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B19200));
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        // A pseudo-terminal has no parity bit to keep; what was applied is checked instead.
        QCOMPARE(port.appliedSettings().parity, QSerialPort::EvenParity);
        QCOMPARE(port.appliedSettings().baud, 19200);
        QVERIFY(!(tio.c_cflag & CSTOPB));

        port.setSettings(QStringLiteral("9600,e,8,1"));
        QCOMPARE(::tcgetattr(line.pty.master(), &tio), 0);
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
    }

    void emptyReadIsNotALoss_data()
    {
        QTest::addColumn<int>("staleErrno");
        QTest::newRow("EAGAIN left over") << EAGAIN;
        QTest::newRow("ENOENT left over") << ENOENT;
    }

    // The link's own polls take bytes that the port's read notifier has already been told of; the
    // notifier's read then comes back empty with whatever errno was left. That is no data, not a
    // device that went away, and later bytes must still raise the serial event.
    void emptyReadIsNotALoss()
    {
        QFETCH(int, staleErrno);
        test::UnitOnLine line;
        line.unit->stop();
        MSComm port;
        line.wire(port);
        QVERIFY(port.setPortOpen(true));
        QSignalSpy lost(&port, &MSComm::portLost);
        QSignalSpy events(&port, &MSComm::OnComm);

        for (int round = 0; round < 3; ++round) {
            QCOMPARE(::write(line.pty.master(), "s", 1), ssize_t(1));
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
        QCOMPARE(::write(line.pty.master(), "t", 1), ssize_t(1));
        QTRY_VERIFY(events.count() > before);
        port.setInputLen(0);
        QCOMPARE(port.input(), QByteArray("t"));
    }

    void vanishedPortClosesAndSaysSo()
    {
        test::UnitOnLine line;
        line.unit->stop();
        MSComm port;
        line.wire(port);
        QVERIFY(port.setPortOpen(true));
        QSignalSpy lost(&port, &MSComm::portLost);
        line.pty.closeMaster();
        QTRY_VERIFY(!port.portOpen());
        QTRY_COMPARE(lost.count(), 1);
        // The reason of the loss itself, not whatever errno an earlier call left.
        QCOMPARE(lost[0][0].toString(),
                 "Com 1 (" + line.device() + "): Device disappeared from the system");
        QCOMPARE(port.inBufferCount(), 0);
        port.output("x");
    }

    void reopenAfterLossBeforeTheEventLoopRan()
    {
        test::UnitOnLine first;
        first.unit->stop();
        MSComm port;
        first.wire(port);
        QVERIFY(port.setPortOpen(true));
        first.pty.closeMaster();
        QElapsedTimer t;
        t.start();
        while (port.portOpen() && t.elapsed() < 2000)
            port.waitForInput(20); // notices the loss without the event loop
        QVERIFY(!port.portOpen());

        test::UnitOnLine second;
        second.unit->stop();
        second.wire(port);
        QVERIFY(port.setPortOpen(true));
        QTest::qWait(100); // the queued close of the lost port must not touch the new one
        QVERIFY(port.portOpen());
        port.output("k");
        QCOMPARE(readMaster(second.pty.master(), 1), QByteArray("k"));
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
        port.output("m");
        QCOMPARE(readMaster(line.pty.master(), 1), QByteArray("m"));
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
};

QTEST_MAIN(PortTest)
#include "tst_port.moc"
