// Unattended runs: kelm-check against the simulated unit, its report and exit status as
// scripts see them; the traffic journal's lines, the bytes it holds against those on the line,
// its flushes, rotation and a disk that refuses it, and its menu entry in the tool.
#include "ToolOnLine.h"
#include "check/CheckReport.h"
#include "journal/TrafficJournal.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>
#include <optional>

using namespace kelm;

namespace {
struct CheckRig
{
    HeadlessPanel panel;
    NullTrafficSink sink;
    test::LinkOnLine on{sink, panel};
    KELM kelm{on.link, panel};
    UnitCheck check{on.link, kelm, panel};
};

int count(const std::vector<CheckStep> &steps, CheckStep::Result r)
{
    return int(std::count_if(steps.begin(), steps.end(),
                             [r](const CheckStep &s) { return s.result == r; }));
}
QStringList journalLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

const QRegularExpression kLine(QStringLiteral(
    R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})  \+(\d{7}\.\d{3})  (PC  |KELM|----) (.*)$)"));

// The bytes of one direction, as the journal lists them.
QByteArray bytesOf(const QStringList &lines, const QString &tag)
{
    QByteArray out;
    for (const QString &line : lines) {
        const auto m = kLine.match(line);
        if (m.hasMatch() && m.captured(3).trimmed() == tag)
            out += QByteArray::fromHex(m.captured(4).toLatin1());
    }
    return out;
}
} // namespace

class CheckTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("KELM")); }

    void faults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("failedStep");
        QTest::addColumn<int>("linkError");
        QTest::addColumn<QString>("detail");
        QTest::newRow("silent unit") << "silent"
                                     << "status query" << 132 << "Fehler beim Senden";
        QTest::newRow("six NAKs") << "nak"
                                  << "LED 2 on" << 137 << "link error 137";
        QTest::newRow("wrong acknowledgement digit")
            << "digit"
            << "display clear" << 0 << "acknowledged with digit 2";
        QTest::newRow("no status reply") << "noreply"
                                         << "status query" << 132 << "Kein KELM gefunden";
    }

    void faults()
    {
        QFETCH(QString, fault);
        QFETCH(QString, failedStep);
        QFETCH(int, linkError);
        QFETCH(QString, detail);
        CheckRig rig;
        sim::SimUnit &unit = *rig.on.line.unit;
        if (fault == "silent")
            unit.setSilent(true);
        else if (fault == "nak")
            unit.nakFromBlock(4); // status query, LED 1 on, blinking, off
        else if (fault == "digit")
            unit.setAckDigit('2');
        else if (fault == "noreply")
            unit.setStatusReply({});
        QElapsedTimer t;
        t.start();
        const std::vector<CheckStep> steps = rig.check.run();
        QCOMPARE(int(steps.size()), 1 + 37 + 1 + 24 + 1);
        // The failure ends the check within seconds; what follows is skipped.
        QVERIFY(t.elapsed() < 8000);
        QCOMPARE(count(steps, CheckStep::Result::Failed), 1);
        const auto failed = std::find_if(steps.begin(), steps.end(), [](const CheckStep &s) {
            return s.result == CheckStep::Result::Failed;
        });
        QCOMPARE(failed->name, failedStep);
        QCOMPARE(failed->linkError, linkError);
        QVERIFY2(failed->detail.contains(detail), qPrintable(failed->detail));
        QCOMPARE(count(steps, CheckStep::Result::Skipped), int(steps.end() - failed) - 1);
    }

    // With an operator who does as asked.
    void keys()
    {
        CheckRig rig;
        sim::SimUnit &unit = *rig.on.line.unit;
        QStringList prompts;
        rig.check.keys = true;
        rig.check.prompt = [&](const QString &text) {
            prompts << text;
            const int n = text.section(' ', 1, 1).toInt();
            if (text.startsWith("Taste"))
                unit.pressKey(n - 1);
            else
                unit.turnSelector(n, 7);
        };
        const std::vector<CheckStep> steps = rig.check.run();
        QCOMPARE(count(steps, CheckStep::Result::Passed), int(steps.size()));
        QCOMPARE(int(steps.size()), 64 + 12 + 2);
        QCOMPARE(prompts.first(), QStringLiteral("Taste 1 drücken"));
        QCOMPARE(prompts.last(), QStringLiteral("Wahlschalter 2 drehen"));
    }

    void program_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("stderrHas");
        QTest::newRow("a unit on its line") << QStringList{"--port", "@line"} << 0 << "64/64";
        // A short run of the overnight kind, the unit at the pace of a 9600-baud line.
        QTest::newRow("continuous test at line pace")
            << QStringList{"--port", "@line", "--soak", "0.2", "--journal", "@journal"} << 0
            << "65/65";
        // Through ser2net, which starts the line at 9600: the client sets 19200.
        QTest::newRow("RFC 2217 through ser2net")
            << QStringList{"--port", "@rfc2217", "--speed", "19200"} << 0 << "64/64";
        QTest::newRow("ser2net ends during a continuous test")
            << QStringList{"--port", "@rfc2217", "--soak", "1", "@kill"} << 1
            << "connection closed by the server";
        QTest::newRow("nobody on the line")
            << QStringList{"--port", "@silent"} << 1 << "status query: FAILED";
        QTest::newRow("no such device") << QStringList{"--port", "/dev/kelm-missing"} << 2
                                        << "/dev/kelm-missing: No such file or directory";
        QTest::newRow("bad speed")
            << QStringList{"--com", "1", "--speed", "4800"} << 2 << "--speed";
    }

    void program()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, stderrHas);
        QTemporaryDir dir;
        const QString link = dir.filePath("line");
        std::optional<test::UnitProcess> unit;
        std::optional<test::Ser2net> server;
        const bool kill = arguments.removeAll("@kill") > 0;
        if (arguments.contains("@rfc2217")) {
            unit.emplace(KELM_UNIT_BIN, link);
            QVERIFY(!server.emplace(link, "rfc2217", "9600e81").url.isEmpty());
            arguments.replaceInStrings("@rfc2217", server->url);
        }
        if (arguments.contains("@line")) {
            arguments.replaceInStrings("@line", link);
            arguments.replaceInStrings("@journal", dir.filePath("journal.txt"));
            unit.emplace(KELM_UNIT_BIN, link);
            QVERIFY(!unit->device.isEmpty());
        }
        if (exitCode != 2)
            arguments << "--json" << dir.filePath("report.json") << "--junit"
                      << dir.filePath("report.xml");
        sim::PtyPair silent; // a line whose far end never answers
        arguments.replaceInStrings("@silent", QString::fromStdString(silent.slavePath()));
        QProcess check;
        QElapsedTimer t;
        t.start();
        check.start(KELM_CHECK_BIN, arguments);
        if (kill) {
            QVERIFY(!check.waitForFinished(4000));
            server->stop();
            t.restart(); // from here the run must end within seconds
        }
        QVERIFY(check.waitForFinished(60000));
        if (exitCode == 1)
            QVERIFY(t.elapsed() < 10000); // one byte time-out, then the rest is skipped
        const QString err = QString::fromLocal8Bit(check.readAllStandardError());
        QCOMPARE(check.exitCode(), exitCode);
        QVERIFY2(err.contains(stderrHas), qPrintable(err));
        if (exitCode != 2) {
            QFile report(dir.filePath("report.json"));
            QVERIFY(report.open(QIODevice::ReadOnly));
            QCOMPARE(QJsonDocument::fromJson(report.readAll()).object()["result"].toString(),
                     exitCode == 0 ? QStringLiteral("passed") : QStringLiteral("failed"));
            QVERIFY(check.readAllStandardOutput().contains(exitCode == 0 ? "PASSED" : "FAILED"));
            // The JUnit report: one case per step, counted right, the failed one with its detail.
            QFile junit(dir.filePath("report.xml"));
            QVERIFY(junit.open(QIODevice::ReadOnly));
            QXmlStreamReader xml(&junit);
            QMap<QString, int> seen;
            QXmlStreamAttributes suite;
            while (!xml.atEnd())
                if (xml.readNext() == QXmlStreamReader::StartElement &&
                    ++seen[xml.name().toString()] && xml.name() == u"testsuite")
                    suite = xml.attributes();
            QVERIFY2(!xml.hasError() && seen["testcase"] >= 64, qPrintable(xml.errorString()));
            QCOMPARE(suite.value("tests").toInt(), seen["testcase"]);
            QCOMPARE(suite.value("failures").toInt(), seen["failure"]);
            QCOMPARE(suite.value("skipped").toInt(), seen["skipped"]);
            QCOMPARE(seen["failure"], exitCode == 0 ? 0 : 1);
            QFile journal(dir.filePath("journal.txt"));
            if (journal.open(QIODevice::ReadOnly)) {
                const QByteArray text = journal.readAll();
                QVERIFY(text.contains("check passed") && !text.contains("port lost"));
            }
        }
    }

    // scripts/demo.sh: the launcher starts the tool with a simulated unit and ends with it.
    void demoLauncher()
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.start(KELM_DEMO_BIN, {"--ok", "--quit-after", "1500"});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
    }

    void linesPerBurstAndEvent()
    {
        test::SkippingClock clock;
        QTemporaryDir dir;
        TrafficJournal j(clock);
        QString error;
        QVERIFY(j.start(dir.filePath("j.txt"), &error));
        j.portOpened("Com 1 (/dev/ttyS0) 9600,e,8,1");
        j.V24MonWriteBuf(DirPc, 0x02);
        j.V24MonWriteBuf(DirUnit, 0x10);
        for (std::uint8_t b : {0x34, 0x10, 0x03, 0x27})
            j.V24MonWriteBuf(DirPc, b);
        clock.sleep(0.2); // a pause ends a burst even in the same direction
        j.V24MonWriteBuf(DirPc, 0x02);
        for (int i = 0; i < 40; ++i) // a long burst wraps
            j.V24MonWriteBuf(DirUnit, 0xA0);
        j.note("send failed, error 137");
        QVERIFY(j.flush());
        const QStringList lines = journalLines(dir.filePath("j.txt"));
        QCOMPARE(lines.size(), 9);
        for (const QString &line : lines)
            QVERIFY2(kLine.match(line).hasMatch(), qPrintable(line));
        auto body = [&](int i) { return kLine.match(lines[i]).captured(4); };
        QCOMPARE(body(0), QStringLiteral("journal started"));
        QCOMPARE(body(1), QStringLiteral("port opened: Com 1 (/dev/ttyS0) 9600,e,8,1"));
        QCOMPARE(kLine.match(lines[2]).captured(3), QStringLiteral("PC  "));
        QCOMPARE(body(2), QStringLiteral("02"));
        QCOMPARE(body(3), QStringLiteral("10"));
        QCOMPARE(body(4), QStringLiteral("34 10 03 27"));
        QCOMPARE(body(5), QStringLiteral("02"));
        QCOMPARE(kLine.match(lines[5]).captured(2), QStringLiteral("0000000.200"));
        QCOMPARE(body(6).split(' ').size(), 32);
        QCOMPARE(body(7).split(' ').size(), 8);
        QCOMPARE(body(8), QStringLiteral("send failed, error 137"));
    }

    void flushedWithinASecondAndOnFailures()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("j.txt");
        TrafficJournal j;
        QString error;
        QVERIFY(j.start(path, &error));
        const int started = int(journalLines(path).size());
        j.V24MonWriteBuf(DirPc, 0x02);
        QCOMPARE(journalLines(path).size(), started); // no write per byte
        QTRY_COMPARE_WITH_TIMEOUT(journalLines(path).size(), started + 1, 2500);
        j.V24MonWriteBuf(DirUnit, 0x15);
        j.note("continuous test failed at line 3, column 7", true);
        QCOMPARE(journalLines(path).size(), started + 3); // at once, with the bytes before it
    }

    void rotatesBySize()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("j.txt");
        TrafficJournal j;
        QString error;
        QVERIFY(j.start(path, &error, 1024, 3));
        for (int i = 0; i < 200; ++i) {
            j.V24MonWriteBuf(DirPc, std::uint8_t(i));
            j.note(QStringLiteral("event %1").arg(i), true);
        }
        j.stop();
        QDir d(dir.path());
        QCOMPARE(d.entryList(QDir::Files), (QStringList{"j.txt", "j.txt.1", "j.txt.2"}));
        for (const QString &name : d.entryList(QDir::Files))
            QVERIFY(QFileInfo(d.filePath(name)).size() <= 1024);
        // The newest events are in the current file, the ones before in .1.
        QVERIFY(journalLines(path).filter("event 199").size() == 1);
        QVERIFY(journalLines(path + ".1").last() < journalLines(path).first());
    }

    void refusedWriteStopsOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("j.txt");
        TrafficJournal j;
        QSignalSpy failed(&j, &TrafficJournal::failed);
        QString error;
        QVERIFY(j.start(path, &error));
        {
            test::FileSizeLimit limit(400);
            for (int i = 0; i < 50; ++i)
                j.note(QStringLiteral("event %1").arg(i), true);
        }
        QCOMPARE(failed.count(), 1);
        const QString message = failed[0][0].toString();
        QVERIFY2(message.startsWith(path) && message.contains("large", Qt::CaseInsensitive),
                 qPrintable(message));
        QVERIFY(!j.recording());
        j.V24MonWriteBuf(DirPc, 0x02); // ignored, no crash
        QVERIFY(!j.flush());
        QCOMPARE(failed.count(), 1);
    }

    // "Mitschnitt..." records from a chosen file; the choice is remembered, and the next start
    // records from the first byte, the start-up detection included.
    void menuEntryRecordsAndResumes()
    {
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
        const QString path = home.filePath("kelm-journal.txt");
        {
            test::ToolOnLine tool;
            tool.start();
            tool.window.setJournalFileProvider([&] { return path; });
            QAction *entry = tool.menu("mnuMitschnitt");
            QCOMPARE(entry->text(), QStringLiteral("Mitschnitt..."));
            entry->trigger();
            QVERIFY(entry->isChecked());
            QTest::mouseClick(tool.key(2), Qt::LeftButton);
            entry->trigger();
            QVERIFY(!entry->isChecked() && !tool.window.journal().recording());
            const QStringList lines = journalLines(path);
            QCOMPARE(bytesOf(lines, "PC"), QByteArray::fromHex("0233100320"));
            // Recording is switched back on for the next start.
            entry->trigger();
            QVERIFY(entry->isChecked());
            tool.window.close();
        }
        QFile::remove(path);
        test::ToolOnLine again;
        QVERIFY(again.menu("mnuMitschnitt")->isChecked());
        again.start();
        again.window.journal().flush();
        const QStringList lines = journalLines(path);
        QVERIFY(lines.filter("port opened: Com 1").size() == 1);
        QVERIFY(bytesOf(lines, "PC").startsWith(QByteArray::fromHex("022310033010")));
        qunsetenv("XDG_CONFIG_HOME");
    }
};

QTEST_MAIN(CheckTest)
#include "tst_check.moc"
