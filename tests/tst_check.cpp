// kelm-check: the unattended check against the simulated unit, its report, and the program's
// exit status as scripts see it.
#include "TestSupport.h"
#include "check/CheckReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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
} // namespace

class CheckTest : public QObject
{
    Q_OBJECT

private slots:

    void faults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("failedStep");
        QTest::addColumn<int>("linkError");
        QTest::addColumn<QString>("detail");
        QTest::newRow("none") << ""
                              << "" << 0 << "";
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
        if (failedStep.isEmpty()) {
            QCOMPARE(count(steps, CheckStep::Result::Passed), int(steps.size()));
            QCOMPARE(steps[0].detail, QStringLiteral("key 0, selector 1 at 1, selector 2 at 1"));
            // Every LED telegram and display line reached the unit, in order.
            QCOMPARE(int(unit.receivedTelegrams().size()), 1 + 37 + 1 + 24 + 1);
            QCOMPARE(unit.lineText(7), std::string());
            return;
        }
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

    // With an operator who does as asked, and a continuous test of a few seconds.
    void keysAndContinuousTest()
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
        rig.check.soakMinutes = 0.05;
        const std::vector<CheckStep> steps = rig.check.run();
        QCOMPARE(count(steps, CheckStep::Result::Passed), int(steps.size()));
        QCOMPARE(int(steps.size()), 64 + 12 + 2 + 1);
        QCOMPARE(prompts.first(), QStringLiteral("Taste 1 drücken"));
        QCOMPARE(prompts.last(), QStringLiteral("Wahlschalter 2 drehen"));
        // 3 s at no less than 0.3 s a character.
        QVERIFY2(rig.check.soak().characters >= 5 && rig.check.soak().characters <= 10,
                 qPrintable(steps.back().detail));
        QCOMPARE(rig.check.soak().failures, 0);
        QVERIFY(steps.back().detail.contains("0 failures"));
    }

    void reportInJson()
    {
        CheckRun run;
        run.port = "Com 2";
        run.device = "/dev/ttyUSB3";
        run.speed = 19200;
        run.coversStx = true;
        run.start = QDateTime(QDate(2026, 12, 7), QTime(8, 0));
        run.seconds = 3.5;
        CheckStep ok{"status query", CheckStep::Result::Passed, 0.05, "key 0", 0};
        CheckStep bad{"LED 1 on", CheckStep::Result::Failed, 1.0, "link error 132", 132};
        run.steps = {ok, bad};
        const QJsonObject o = QJsonDocument::fromJson(checkJson(run)).object();
        QCOMPARE(o["result"].toString(), QStringLiteral("failed"));
        QCOMPARE(o["device"].toString(), QStringLiteral("/dev/ttyUSB3"));
        QCOMPARE(o["speed"].toInt(), 19200);
        QCOMPARE(o["variant"].toString(), QStringLiteral("STX"));
        QCOMPARE(o["start"].toString(), QStringLiteral("2026-12-07T08:00:00.000"));
        QCOMPARE(o["duration"].toDouble(), 3.5);
        const QJsonArray steps = o["steps"].toArray();
        QCOMPARE(steps.size(), 2);
        QCOMPARE(steps[1]["result"].toString(), QStringLiteral("failed"));
        QCOMPARE(steps[1]["error"].toInt(), 132);
        QVERIFY(!steps[0].toObject().contains("error"));
        run.steps = {ok};
        QCOMPARE(QJsonDocument::fromJson(checkJson(run)).object()["result"].toString(),
                 QStringLiteral("passed"));
        QVERIFY(checkSummary(run).contains("PASSED"));
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
        QTest::newRow("nobody on the line")
            << QStringList{"--port", "@silent"} << 1 << "status query: FAILED";
        QTest::newRow("no such device") << QStringList{"--port", "/dev/kelm-missing"} << 2
                                        << "/dev/kelm-missing: No such file or directory";
        QTest::newRow("both ports")
            << QStringList{"--port", "/dev/x", "--com", "1"} << 2 << "either --port";
        QTest::newRow("bad speed")
            << QStringList{"--com", "1", "--speed", "4800"} << 2 << "--speed";
        QTest::newRow("unknown option") << QStringList{"--fast"} << 2 << "fast";
    }

    void program()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, stderrHas);
        QTemporaryDir dir;
        const QString link = dir.filePath("line");
        QProcess unit;
        if (arguments.contains("@line")) {
            arguments.replaceInStrings("@line", link);
            arguments.replaceInStrings("@journal", dir.filePath("journal.txt"));
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("QT_QPA_PLATFORM", "offscreen");
            unit.setProcessEnvironment(env);
            unit.start(KELM_UNIT_BIN, {"--pty", link, "--script"});
            QVERIFY(unit.waitForReadyRead(10000)); // "line LINK DEVICE"
            arguments << "--json" << dir.filePath("report.json");
        }
        sim::PtyPair silent; // a line whose far end never answers
        arguments.replaceInStrings("@silent", QString::fromStdString(silent.slavePath()));
        QProcess check;
        QElapsedTimer t;
        t.start();
        check.start(KELM_CHECK_BIN, arguments);
        QVERIFY(check.waitForFinished(60000));
        if (exitCode == 1)
            QVERIFY(t.elapsed() < 10000); // one byte time-out, then the rest is skipped
        const QString err = QString::fromLocal8Bit(check.readAllStandardError());
        QCOMPARE(check.exitCode(), exitCode);
        QVERIFY2(err.contains(stderrHas), qPrintable(err));
        if (exitCode == 0) {
            QFile report(dir.filePath("report.json"));
            QVERIFY(report.open(QIODevice::ReadOnly));
            QCOMPARE(QJsonDocument::fromJson(report.readAll()).object()["result"].toString(),
                     QStringLiteral("passed"));
            QVERIFY(check.readAllStandardOutput().contains("PASSED"));
            QFile journal(dir.filePath("journal.txt"));
            if (journal.open(QIODevice::ReadOnly)) {
                const QByteArray text = journal.readAll();
                QVERIFY(text.contains("check passed") && !text.contains("port lost"));
            }
        }
        unit.kill();
        unit.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(CheckTest)
#include "tst_check.moc"
