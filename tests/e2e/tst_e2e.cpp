// The shipped program as its own process, under an X server of its own, driven from outside
// with xdotool as an operator would, against kelm-unit running as another process on the far
// end of a pseudo-terminal. Com 1 reaches the line through the settings file, as a user's
// adapter would. What counts is what the unit saw on the line, whether the tool kept its port
// and which message boxes it showed.
#include "../TestSupport.h"
#include "device/Telegramme.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

using namespace kelm;

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // An X server of the test's own: Xvfb picks a free display and names it once it accepts
        // clients, so neither a stale lock nor a slow start can hand the tool a display without a
        // server behind it.
        // -noreset: by default the server resets whenever its last client leaves, and a client
        // connecting meanwhile is refused; every xdotool call here is such a client, and the tool
        // was once refused its display that way (2 in 200 back-to-back clients without it, 0 in
        // 600 with it).
        m_xvfb.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_xvfb.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1024x768x24",
                                              "-nolisten", "tcp", "-noreset"});
        // The whole line: a display number may have more than one digit.
        QTRY_VERIFY2_WITH_TIMEOUT(m_xvfb.canReadLine(), "Xvfb did not start", 20000);
        const QByteArray display = m_xvfb.readLine().trimmed();
        QVERIFY(!display.isEmpty());
        qputenv("DISPLAY", ":" + display);
        // The tool starts only when a client of the test's own has got through.
        QVERIFY2(QTest::qWaitFor([] { return !xdo({"getdisplaygeometry"}).isEmpty(); }, 20000),
                 qPrintable("no client gets through to display :" + display));
        m_link = m_home.filePath("line");
        QVERIFY(test::writeFile(m_home.filePath("config/kelm/kelm.conf"),
                                "[Ports]\nCom1=" + m_link.toLocal8Bit() + "\n"));
        // Recording from the start, as a user who switched the journal on once has it.
        QVERIFY(
            test::writeFile(m_home.filePath("state/kelm/state.conf"),
                            "[Journal]\nFile=\"" + journal().toUtf8() + "\"\nRecording=true\n"));
        m_unit = std::make_unique<test::UnitProcess>(KELM_UNIT_BIN, m_link);
        QVERIFY(!m_unit->device.isEmpty());

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
        env.insert("XDG_STATE_HOME", m_home.filePath("state"));
        env.insert("QT_QPA_PLATFORM", "xcb");
        m_tool.setProcessEnvironment(env);
        m_tool.setProcessChannelMode(QProcess::ForwardedChannels);
        m_tool.start(QStringLiteral(KELM_BIN), {});
        QVERIFY(m_tool.waitForStarted());
    }

    void cleanupTestCase()
    {
        endTool();
        m_unit.reset();
        m_xvfb.terminate();
        m_xvfb.waitForFinished(3000);
    }

    void startUpFindsTheUnit()
    {
        clickOk(10000);
        const QString query = hex(Telegramm::statusQuery());
        // Queried by OK and by the start-up, then display clear and all LEDs off.
        QTRY_COMPARE(m_unit->rx, (QStringList{query, query, hex(Telegramm::displayClear()),
                                              hex(Telegramm::allLedsOff())}));
        QVERIFY(shows(QStringLiteral("Morvane KELM")));
        checkHealthy();
    }

    void keysClickAndDoubleClick()
    {
        m_unit->clearRx();
        const QStringList expected{hex(Telegramm::ledOn(3)), hex(Telegramm::ledOn(5)),
                                   hex(Telegramm::ledBlink(5)), hex(Telegramm::ledOff(5))};
        // A click, a double-click, a click: each apart enough from the one before not to make a
        // double-click with it, and each in at the unit before the next.
        for (const auto &[key, clicks, seen] : {std::tuple(3, 1, 1), {5, 2, 3}, {5, 1, 4}}) {
            QTest::qWait(600);
            clickKey(key, clicks);
            QTRY_COMPARE(m_unit->rx, expected.first(seen));
        }
        m_lit[3] = true;
        checkHealthy();
    }

    void thousandReportsAmongOperatorSends()
    {
        QTest::qWait(600); // no double-click with the last scenario's click
        m_unit->clearRx();
        const int before = int(m_unit->tx.size());
        QStringList expected;
        for (int round = 0; round < 10; ++round) {
            m_unit->command(QStringLiteral("burst 50"));
            for (int i = 0; i < 50; ++i) {
                m_unit->command(i % 2 ? "release" : QString("key %1").arg(i % 12 + 1));
                QTest::qWait(i % 7 == 0 ? 15 : 2);
                if (i % 10 == 5) {
                    const int k = (round + i) % 12;
                    clickKey(k);
                    QTest::qWait(450); // apart enough not to make a double-click
                    expected << hex(m_lit[k] ? Telegramm::ledOff(k) : Telegramm::ledOn(k));
                    m_lit[k] = !m_lit[k];
                }
            }
        }
        QVERIFY2(QTest::qWaitFor([&] { return m_unit->tx.size() - before >= 1000; }, 60000),
                 qPrintable(QString::number(m_unit->tx.size() - before)));
        QTRY_COMPARE(m_unit->rx, expected);
        checkHealthy();
    }

    void continuousTestAndItsStop()
    {
        m_unit->clearRx();
        menu(1); // Funktionen, Dauertest
        QTest::qWait(60000);
        QVERIFY(toolHoldsLine());
        menu(1);
        const QString clear = hex(Telegramm::displayClear()), off = hex(Telegramm::allLedsOff());
        QTRY_VERIFY_WITH_TIMEOUT(m_unit->rx.size() > 2 && m_unit->rx.last() == off, 15000);
        const QStringList rx = m_unit->rx;
        QCOMPARE(rx.mid(0, 3), (QStringList{clear, off, off}));
        // Characters in order, each followed by one step of the LED chase, until the stop.
        int chars = 0;
        qint64 closest = 1000000, first = 0, last = 0;
        for (int i = 3; i + 1 < rx.size(); i += 2) {
            const int pass = chars / 128, pos = chars % 128;
            const QString c = hex(Telegramm::displayChar(pos / 16, pos % 16, pass % 2 == 1,
                                                         pass / 2 == 1, std::uint8_t(0x80 + pos)));
            // The stop is taken at any of the test's waits, also the one between a character
            // and its step of the chase: its display clear then stands where the step would.
            if (rx[i] != c || rx[i + 1] == clear)
                break;
            const int k = chars % 12;
            QCOMPARE(rx[i + 1], hex((chars / 12) % 2 ? Telegramm::ledOff(k) : Telegramm::ledOn(k)));
            if (chars > 0)
                closest = std::min(closest, m_unit->rxMs[i] - m_unit->rxMs[i - 2]);
            (chars == 0 ? first : last) = m_unit->rxMs[i];
            ++chars;
        }
        // The pace as the unit saw the characters arrive: 0.3 s a character over the run, and
        // not one without its pause. A load that delays one stamp more than the next narrows
        // a single gap, never the whole span by more than the delay at its two ends.
        QVERIFY2(chars >= 100, qPrintable(QString::number(chars)));
        QVERIFY2(last - first >= 300 * (chars - 1) - 50 && closest >= 200,
                 qPrintable(QString::asprintf("%d characters in %lld ms, closest %lld ms", chars,
                                              last - first, closest)));
        // The stop's display clear, the character under way if any, then clear and all LEDs off.
        QVERIFY(rx.size() - (3 + 2 * chars) <= 5);
        QCOMPARE(rx.mid(rx.size() - 2), (QStringList{clear, off}));
        m_lit.fill(false);
        checkHealthy();
    }

    // The unit's end of the line closes: one message, demonstration mode, and the dialog's OK
    // opens the line again once a unit is back.
    void lostLineAndReconnect()
    {
        m_unit->kill();
        QVERIFY(QTest::qWaitFor([&] { return messageBoxes() == 1; }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return !toolHoldsLine(); }, 3000));
        QTest::qWait(500);
        QCOMPARE(messageBoxes(), 1);
        xdo({"mousemove", "--window", window(QStringLiteral("KELM")), "10", "10"});
        xdo({"key", "Return"});
        QVERIFY(QTest::qWaitFor([&] { return messageBoxes() == 0; }, 3000));

        m_unit = std::make_unique<test::UnitProcess>(KELM_UNIT_BIN, m_link);
        menu(2); // Schnittstelle, Konfiguraion
        clickOk(5000);
        QTRY_COMPARE(m_unit->rx, QStringList{hex(Telegramm::statusQuery())});
        // Out of demonstration mode again: a click reaches the unit.
        QTest::qWait(600);
        clickKey(0);
        QTRY_COMPARE(m_unit->rx.mid(1), QStringList{hex(Telegramm::ledOn(0))});
        checkHealthy();
    }

    // A logout or a kill in the middle of a continuous test ends the tool as "Beenden" does:
    // the port and its lock released, the journal complete, the window's place remembered.
    void endsCleanlyOnSignal()
    {
        m_unit->clearRx();
        menu(1); // Funktionen, Dauertest
        QTRY_VERIFY2(m_unit->rx.size() >= 4, qPrintable(m_unit->rx.join(' ')));
        QVERIFY(toolHoldsLine());
        QCOMPARE(test::portLockHolder(m_link), m_tool.processId());
        ::kill(pid_t(m_tool.processId()), SIGTERM);
        QVERIFY(m_tool.waitForFinished(5000));
        QCOMPARE(m_tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_tool.exitCode(), 0);
        QCOMPARE(test::portLockHolder(m_link), 0);
        const QRegularExpression end("---- port closed\n[^\n]+---- journal stopped\n$");
        QVERIFY(end.match(QString::fromUtf8(test::readFile(journal()))).hasMatch());
        QVERIFY(test::readFile(m_home.filePath("state/kelm/state.conf")).contains("Main=@Point("));
    }

    // The unit in a rack behind ser2net, Com 1 mapped to it by RFC 2217: start-up, a click and
    // a report of the unit's, each through the network.
    void unitBehindSer2net()
    {
        endTool();
        // A unit of its own: the one before may still be offering the telegram that the tool
        // ended by the signal never took.
        m_unit = std::make_unique<test::UnitProcess>(KELM_UNIT_BIN, m_link);
        test::Ser2net server(m_link, QStringLiteral("rfc2217"), QStringLiteral("19200e81"));
        QVERIFY(!server.url.isEmpty());
        QVERIFY(test::writeFile(m_home.filePath("config/kelm/kelm.conf"),
                                "[Ports]\nCom1=" + server.url.toLocal8Bit() + "\n"));
        m_unit->clearRx();
        m_tool.start(QStringLiteral(KELM_BIN), {});
        clickOk(10000);
        QTRY_COMPARE(m_unit->rx.mid(3), QStringList{hex(Telegramm::allLedsOff())});
        QVERIFY(shows(QStringLiteral("Morvane KELM")));
        QTest::qWait(600);
        clickKey(7);
        QTRY_COMPARE(m_unit->rx.mid(4), QStringList{hex(Telegramm::ledOn(7))});
        const int before = int(m_unit->tx.size());
        m_unit->command(QStringLiteral("key 4"));
        QVERIFY(QTest::qWaitFor([&] { return int(m_unit->tx.size()) > before; }, 5000));
        QVERIFY(m_unit->txFailed.isEmpty() && messageBoxes() == 0);
    }

    // A logout while the start-up dialog waits for the operator ends the tool there, before it
    // would go on to the unit.
    void endsOnSignalDuringStartUp()
    {
        endTool();
        m_tool.start(QStringLiteral(KELM_BIN), {});
        QVERIFY(shows(QStringLiteral("Schnittstelle"), 10000));
        ::kill(pid_t(m_tool.processId()), SIGTERM);
        QVERIFY(m_tool.waitForFinished(5000));
        QVERIFY(m_tool.exitStatus() == QProcess::NormalExit && m_tool.exitCode() == 0);
    }

private:
    static QString hex(const QByteArray &t) { return QString::fromLatin1(t.toHex().toUpper()); }
    static QString xdo(const QStringList &args)
    {
        QProcess p;
        p.start(QStringLiteral("xdotool"), args);
        p.waitForFinished(5000);
        return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    }
    // As a logout would, so that the port's lock goes with the tool; killed only if it hangs.
    void endTool()
    {
        m_tool.terminate();
        if (!m_tool.waitForFinished(5000))
            m_tool.kill();
        m_tool.waitForFinished(3000); // at once where it has ended
    }
    QString journal() const { return m_home.filePath("journal.txt"); }
    // The tool's windows and their state, as seen from outside.
    QString window(const QString &title) const
    {
        return xdo({"search", "--onlyvisible", "--name", "^" + title + "$"}).section('\n', 0, 0);
    }
    bool shows(const QString &title, int ms = 5000) const
    {
        return QTest::qWaitFor([&] { return !window(title).isEmpty(); }, ms);
    }
    // The configuration dialog's OK, at its place in the dialog, once the dialog shows.
    void clickOk(int ms)
    {
        QVERIFY(shows(QStringLiteral("Schnittstelle"), ms));
        xdo({"mousemove", "--window", window("Schnittstelle"), "64", "188", "click", "1"});
    }
    int messageBoxes() const
    {
        const QString found = xdo({"search", "--onlyvisible", "--name", "^KELM$"});
        return found.isEmpty() ? 0 : int(found.split('\n').size());
    }
    bool toolHoldsLine() const
    {
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(m_tool.processId()));
        for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System))
            if (QFile::symLinkTarget(fds.filePath(fd)) == m_unit->device)
                return true;
        return false;
    }
    void click(int x, int y, int repeat = 1)
    {
        const QString w = window(QStringLiteral("Morvane KELM"));
        xdo({"mousemove", "--window", w, QString::number(x), QString::number(y + menuBar()),
             "click", "--repeat", QString::number(repeat), "--delay", "80", "1"});
    }
    // The menu bar's height, from the window's: the fonts at hand decide it. Below it, the
    // picture of the unit is 500 high.
    int menuBar() const
    {
        const QString geometry = xdo({"getwindowgeometry", window(QStringLiteral("Morvane KELM"))});
        const int height = geometry.section(QLatin1String("Geometry: "), 1).section('x', 1).toInt();
        return height > 500 ? height - 500 : 0;
    }
    void clickKey(int k, int repeat = 1)
    {
        static constexpr int left[4] = {96, 136, 176, 216}, top[3] = {240, 296, 336};
        click(left[k % 4] + 16, top[k / 4] + 16, repeat);
    }
    // Opens the first menu with a click, walks to menu `index` by keyboard and takes its first
    // entry.
    void menu(int index)
    {
        click(15, -menuBar() / 2);
        QTest::qWait(300);
        for (int i = 0; i < index; ++i)
            xdo({"key", "Right"});
        xdo({"key", "Return"});
    }
    void checkHealthy()
    {
        QCOMPARE(messageBoxes(), 0);
        QVERIFY(toolHoldsLine());
        QCOMPARE(m_unit->txFailed, QStringList());
    }

    QProcess m_xvfb;
    QTemporaryDir m_home;
    QString m_link;
    std::unique_ptr<test::UnitProcess> m_unit;
    QProcess m_tool;
    std::array<bool, 12> m_lit{};
};

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_e2e.moc"
