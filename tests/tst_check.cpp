// Unattended runs: kelm-check against the simulated unit, its report and exit status as
// scripts see them; the traffic journal's lines, the bytes it holds against those on the line,
// its flushes, rotation and a disk that refuses it, and its menu entry in the tool.
#include "ToolOnLine.h"
#include "check/CheckReport.h"
#include "device/Telegramme.h"
#include "journal/TrafficJournal.h"
#include "station/TerminationSignals.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QXmlStreamReader>
#include <clocale>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/resource.h>

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

QStringList journalLines(const QString &path)
{
    return QString::fromUtf8(test::readFile(path)).split('\n', Qt::SkipEmptyParts);
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

    // Each row's name is the fault the unit is given; then the step that fails with its link
    // error code, and words of its detail.
    void faults_data()
    {
        QTest::addColumn<QString>("failedStep");
        QTest::addColumn<QString>("detail");
        auto row = [](const char *fault, const char *step, const char *detail) {
            QTest::newRow(fault) << step << detail;
        };
        row("silent unit", "status query, 132", "send failed: no DLE within 1 s (132)");
        row("six NAKs", "LED 2 on, 137", "send failed: refused with NAK 6 times (137)");
        row("neither DLE nor NAK", "status query, 136",
            "send failed: neither DLE nor NAK after the block (136)");
        row("wrong acknowledgement digit", "display clear, 0", "acknowledged with digit 2");
        // A line answered with the wrong digit fails at that line, not at the clear after them.
        row("wrong digit for a display line", "display line 1 normal, 0",
            "acknowledged with digit 2");
        row("no status reply", "status query, 132", "no unit found: no reply within 1 s (132)");
        row("broken status reply", "status query, 136",
            "no unit found: broken reply, refused with NAK (136)");
        // The give-way leaves NAK as the code; the line, not a refusal, is what failed.
        row("line kept busy after a give-way", "status query, 0", "send failed: line busy for 5 s");
    }

    void faults()
    {
        QFETCH(QString, failedStep);
        QFETCH(QString, detail);
        const QString fault = QTest::currentDataTag();
        CheckRig rig;
        if (fault == "silent unit")
            rig.on.unit().setSilent(true);
        else if (fault == "six NAKs")
            rig.on.unit().nakFromBlock(4); // status query, LED 1 on, blinking, off
        else if (fault == "wrong acknowledgement digit")
            rig.on.unit().setAckDigit('2');
        else if (fault == "wrong digit for a display line")
            rig.check.stepDone = [&rig](const CheckStep &step, int, int) {
                if (step.name == "display clear")
                    rig.on.unit().setAckDigit('2');
            };
        else if (fault == "neither DLE nor NAK")
            rig.on.unit().replyToNextBlock(0x41);
        else if (fault == "no status reply")
            rig.on.unit().setStatusReply({});
        else if (fault == "line kept busy after a give-way") {
            // The unit takes the line from the status query and spends 6.6 s on its telegram,
            // its bytes well within the byte time-out of each other.
            rig.on.unit().setByteTimeUs(150000);
            rig.on.unit().conflictOnNextStx(sim::Bytes(42, 0x31), true);
        } else
            rig.on.unit().corruptNextBcc(1000);
        const QDeadlineTimer within(8000, Qt::PreciseTimer);
        const std::vector<CheckStep> steps = rig.check.run();
        QCOMPARE(int(steps.size()), 1 + 37 + 1 + 24 + 1);
        // The failure ends the check within seconds; what follows is skipped.
        QVERIFY(!within.hasExpired());
        QCOMPARE(std::ranges::count(steps, CheckStep::Result::Failed, &CheckStep::result), 1);
        const auto failed = std::ranges::find(steps, CheckStep::Result::Failed, &CheckStep::result);
        QCOMPARE(failed->name + ", " + QString::number(failed->linkError), failedStep);
        if (fault.startsWith("line kept busy")) // what the report must not be misled by
            QCOMPARE(rig.on.link.LinkFehler, linkerr::Nak);
        QVERIFY2(failed->detail.contains(detail), qPrintable(failed->detail));
        QCOMPARE(std::ranges::count(steps, CheckStep::Result::Skipped, &CheckStep::result),
                 steps.end() - failed - 1);
    }

    // An interruption cuts a wait for the operator short: skipped, no verdict on the unit. A send
    // is never cut short: one that fails meanwhile (to a silent unit) stays failed, with its
    // code. Either way nothing after it runs.
    void interruptions()
    {
        for (const bool silent : {false, true}) {
            CheckRig rig;
            rig.on.unit().setSilent(silent);
            rig.check.keys = true;
            rig.check.prompt = [&rig](const QString &) { rig.check.interrupt(); };
            if (silent)
                rig.panel.onPump = [&rig] { rig.check.interrupt(); };
            const std::vector<CheckStep> steps = rig.check.run();
            const CheckStep &last = steps.back();
            QCOMPARE(int(steps.size()), silent ? 1 : 64 + 1);
            QCOMPARE(last.result, silent ? CheckStep::Result::Failed : CheckStep::Result::Skipped);
            QCOMPARE(last.detail, silent ? "send failed: no DLE within 1 s (132)" : "interrupted");
            QCOMPARE(last.linkError, silent ? 132 : 0);
        }
    }

    // With an operator who does as asked, until the prompt of the row, where the unit reports
    // only what does not answer it: for key 12 its neighbours' codes, for selector 2 one short of
    // its first position, one past its last, and the other selector. The wait then runs out on a
    // clock that from there runs five times fast.
    void keys_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QByteArray>("codes");
        QTest::addColumn<int>("step");
        QTest::newRow("key 12") << "Press key 12" << test::bytes({0x3B, 0x3D}) << 64 + 11;
        QTest::newRow("selector 2")
            << "Turn selector 2" << test::bytes({0x50, 0x5D, 0x4C}) << 64 + 12 + 1;
    }

    void keys()
    {
        QFETCH(QString, failing);
        QFETCH(QByteArray, codes);
        QFETCH(int, step);
        CheckRig rig;
        struct : test::SkippingClock
        {
            double now() const override
            {
                const double t = SkippingClock::now();
                return from < 0 ? t : from + 5 * (t - from);
            }
            double from = -1;
        } hurried;
        UnitCheck check{rig.on.link, rig.kelm, rig.panel, hurried};
        rig.on.unit().setStatusReply({0x3C, 0x41, 0x5C});
        QStringList prompts;
        check.keys = true;
        check.prompt = [&](const QString &text) {
            prompts << text;
            const int n = text.section(' ', -1).toInt();
            if (text == failing) {
                hurried.from = hurried.now();
                for (const char code : codes)
                    rig.on.unit().sendReport({std::uint8_t(code)});
            } else if (text.startsWith("Press key"))
                rig.on.unit().pressKey(n - 1);
            else
                rig.on.unit().turnSelector(n, 12);
        };
        const std::vector<CheckStep> steps = check.run();
        QCOMPARE(int(steps.size()), 64 + 12 + 2);
        QCOMPARE(std::ranges::count(steps, CheckStep::Result::Passed, &CheckStep::result), step);
        QCOMPARE(prompts.first(), QStringLiteral("Press key 1"));
        QCOMPARE(prompts.size(), step - 64 + 1);
        QCOMPARE(steps[step].detail, "other reports only (last 0x" + codes.right(1).toHex() + ')');
        QCOMPARE(steps[0].detail, "key 12, selector 1 at 1, selector 2 at 12");
        // Each display line in the attributes its text names.
        const std::vector<sim::Bytes> got = rig.on.unit().receivedTelegrams();
        for (const auto &[text, blink, inverse] :
             {std::tuple("Zeile 8 normal", false, false), std::tuple("Zeile 8 invers", false, true),
              std::tuple("Zeile 8 blinkt", true, false)}) {
            const QByteArray t = Telegramm::displayLine(7, QLatin1String(text), blink, inverse);
            QVERIFY2(std::count(got.begin(), got.end(), sim::Bytes(t.begin(), t.end())) == 1, text);
        }
    }

    // The summary on standard output: columns under their heads, the skipped steps in one line,
    // the verdict, a journal that stopped; then the report's figures of a continuous test.
    void summaryAsPrinted()
    {
        using R = CheckStep::Result;
        CheckRun run;
        run.device = "/dev/ttyUSB0", run.speed = 19200, run.coversStx = true, run.seconds = 3.26;
        run.steps = {{"status query", R::Passed, 0.05, "reply 31 41 51"},
                     {"LED 12 blinking", R::Failed, 1.234, "send failed", 137}};
        run.steps.resize(3); // one more, skipped, as a step is until it runs
        run.journal = "j.txt", run.journalStopped = "No space left on device";
        QCOMPARE(checkSummary(run),
                 "step             result      time  detail\n"
                 "status query     passed     0.05s  reply 31 41 51\n"
                 "LED 12 blinking  failed     1.23s  send failed\n"
                 "(1 more steps skipped after the failure)\n"
                 "FAILED: 1 of 3 steps passed on /dev/ttyUSB0 at 19200 baud (STX), 3.3 s\n"
                 "journal j.txt stopped: No space left on device\n");
        run.steps.resize(5);
        QVERIFY(checkSummary(run).contains("\n(3 more steps skipped after the failure)\n"));
        // The continuous test's figures in the report, whole cycles of 512 characters.
        run.soakRan = true, run.soak = {.minutes = 2.5, .characters = 1000, .failures = 3};
        QCOMPARE(
            QJsonDocument::fromJson(checkJson(run))["soak"].toObject(),
            (QJsonObject{{"minutes", 2.5}, {"cycles", 1}, {"characters", 1000}, {"failures", 3}}));
        // A step cut short by an interruption ran: a row of its own, and no failure to follow.
        run.steps = {run.steps[0], {"key 1", R::Skipped, 2.5, "interrupted"}};
        run.interrupted = true;
        const QString cut = checkSummary(run);
        QVERIFY2(cut.contains("\nkey 1         skipped    2.50s  interrupted\nINTERRUPTED: 1 of 2"),
                 qPrintable(cut));
        QVERIFY2(!cut.contains("after the failure"), qPrintable(cut));
        // A run without a single step passed nothing.
        run.steps.clear(), run.interrupted = false;
        QCOMPARE(run.result(), "failed");
    }

    // A refusal in the continuous test is counted, the unit asked for again, and the test goes
    // on; the step fails for it, and counts its characters (too few here for a whole cycle).
    void soakGoesOnAfterAFailure()
    {
        CheckRig rig;
        rig.check.soakMinutes = 0.1;
        long refusedAt = -1, looks = 0;
        QElapsedTimer soaking;
        rig.panel.onPump = [&] {
            if (rig.kelm.DauertestZeichen > 0 && !soaking.isValid()) {
                soaking.start();
                // A unit slow to acknowledge: its acknowledgement crosses the next telegram.
                rig.on.unit().setAckDelayMs(200);
            }
            looks += soaking.isValid();
            if (refusedAt < 0 && rig.kelm.DauertestZeichen >= 3) {
                refusedAt = rig.kelm.DauertestZeichen;
                rig.on.unit().nakNextBlocks(6);
            }
        };
        const CheckStep soak = rig.check.run().back();
        // Its waits look at the line once a millisecond at most: asleep in between, not spinning.
        QVERIFY2(soaking.isValid() && looks < soaking.elapsed(),
                 qPrintable(QString::asprintf("%ld looks in %lld ms", looks, soaking.elapsed())));
        QCOMPARE(soak.result, CheckStep::Result::Failed);
        QCOMPARE(rig.check.soak().failures, 1);
        QVERIFY2(rig.kelm.DauertestZeichen > refusedAt + 2 && refusedAt > 0,
                 qPrintable(soak.detail));
        const int characters = rig.check.soak().characters;
        QCOMPARE(characters, int(rig.kelm.DauertestZeichen));
        QCOMPARE(soak.detail, QString::asprintf("%d cycles, %d characters, 1 failures",
                                                characters / 512, characters));
    }

    // kelm-check as scripts and test benches run it. `event` happens during the run: a file-size
    // limit on the program (a full disk), the journal's folder removed, or a signal once the
    // continuous test is under way (also with SIGINT ignored, as for a job started with &) or
    // while a server is being reached.
    // `stderrHas` is looked for in what it prints on either channel. `report` is the JSON's result,
    // or empty where none is written (an earlier report stays as it was).
    void program_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("stderrHas");
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("event");
        // The arguments as a script would write them, each a word.
        auto row = [](const char *name, QString arguments, int exitCode, QString stderrHas,
                      QString report = {}, QString event = {}) {
            QTest::newRow(name) << arguments.split(' ') << exitCode << stderrHas << report << event;
        };
        const QString onLine = "--port @line --json @report";
        const QString soak = onLine + " --soak 1 --journal @journal";
        row("a unit on its line", onLine, 0, "64/64", "passed");
        row("report on standard output", "--port @line --json /dev/stdout", 0,
            "\"result\": \"passed\"");
        // Com 1 as kelm.conf maps it, past a line that lost its "=" (reported, not fatal) after
        // one with a name of a single letter (a setting, though unknown); no progress where
        // quiet is asked for.
        row("Com 1 from kelm.conf", "--com 1 --quiet --json @report", 0,
            "kelm.conf, line 3: \"Com2 /dev/ttyUSB4\" is not a setting", "passed");
        // A short run of the overnight kind, the unit at the pace of a 9600-baud line; its progress
        // says some 10 s have passed. On a terminal, the steps and the progress are one bar
        // redrawn in place.
        row("continuous test at line pace", onLine + " --soak 0.2 --journal @journal", 0,
            "continuous test: 0:1", "passed", "tty");
        row("nobody on the line", "--port @silent --soak 1 --json @report", 1,
            "1/65 status query: FAILED - send failed: no DLE within 1 s (132)\n"
            "64 more steps skipped after the failure\n",
            "failed");
        // Through ser2net, which starts the line at 9600: the client sets 19200.
        row("RFC 2217 through ser2net",
            "--port @rfc2217 --speed 19200 --json @report --journal @journal", 0, "64/64",
            "passed");
        row("ser2net ends during a continuous test", "--port @rfc2217 --soak 1 --json @report", 1,
            "connection closed by the server", "failed", "kill");
        row("nobody behind the server", "--port tcp://127.0.0.1:1 --json @report", 1,
            "tcp://127.0.0.1:1: Connection refused", "failed");
        row("unknown option", "--bogus", 2,
            "kelm-check: Unknown option 'bogus'.\nTry 'kelm-check --help' for more information.\n");
        row("help", "--help", 0,
            "(--port DEVICE | --com N) [options]\nChecks a KELM operator unit without a window");
        // Each option with its value's name and its own words.
        row("help on the options", "-h", 0,
            "  --json <FILE>     Write a report in JSON to FILE.\n"
            "  --junit <FILE>    Write a report in JUnit XML to FILE.\n"
            "  --journal <FILE>  Record every byte and event to FILE.\n"
            "  --keys            Also check the keys and selectors, with an operator at the\n"
            "                    unit.\n"
            "  --soak <MINUTES>  Also run the continuous test");
        row("version", "--version", 0, "kelm-check " KELM_VERSION "\n");
        row("stray arguments", "--com 1 one two", 2, "unexpected argument \"one\"");
        row("no line named", "--quiet", 2, "give either --port DEVICE or --com N");
        for (const char *n : {"0", "5"})
            row(QByteArray("Com ").append(n), QString("--com ") + n, 2,
                QString("--com takes 1 to 4, not \"%1\"").arg(n));
        // A summary that could not be printed is a run that did not do its job.
        row("standard output full", "--port @silent", 2,
            "kelm-check: standard output: No space left on device", "", "full");
        row("no such device", "--port /dev/kelm-missing", 2,
            "/dev/kelm-missing: No such file or directory");
        row("bad speed", "--com 1 --speed 4800", 2, "--speed");
        row("soak not a number", onLine + " --soak nan", 2, "--soak");
        row("soak beyond a month", "--port /dev/kelm-missing --soak 44641", 2, "--soak");
        row("report into a missing folder", "--port @line --json @dir/none/r.json", 2,
            "none/r.json: No such file or directory");
        row("journal into a missing folder", "--port @line --journal @dir/none/j.txt", 2,
            "none/j.txt: No such file or directory");
        row("report cut short", onLine, 2, "too large", "", "limit");
        row("journal's folder removed", onLine + " --journal @journal", 2, "journal stopped",
            "passed", "rmdir");
        for (const auto &[sig, code] :
             {std::pair("SIGINT", 130), {"SIGTERM", 143}, {"SIGHUP", 129}})
            row(sig, soak, code, "65/65 continuous test: skipped", "interrupted", sig);
        row("SIGINT to a job in the background", soak, 130, "65/65 continuous test: skipped",
            "interrupted", "SIGINT background");
        // Ctrl-C while the connection to a server that never answers is tried (no event loop
        // runs meanwhile): the run ends as interrupted, not failed.
        row("SIGINT while connecting", "--port @unanswered --json @report", 130,
            "no connection within 3 s", "interrupted", "SIGINT connecting");
    }

    void program()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, stderrHas);
        QFETCH(QString, report);
        QFETCH(QString, event);
        QTemporaryDir dir;
        const QString link = dir.filePath("line"), reportPath = dir.filePath("report.json"),
                      journalPath = dir.filePath("j/journal.txt");
        QDir(dir.path()).mkpath("j");
        // A unit on the line in every row, also where the program must end before it opens one.
        test::UnitProcess unit(KELM_UNIT_BIN, link);
        QVERIFY(!unit.device.isEmpty());
        std::optional<test::Ser2net> server;
        if (arguments.contains("@rfc2217"))
            QVERIFY(!server.emplace(link, "rfc2217", "9600e81").url.isEmpty());
        test::FullServer full;
        if (arguments.contains("@unanswered"))
            QVERIFY(full.fill());
        if (arguments.contains("--json"))
            arguments << "--junit" << dir.filePath("report.xml");
        // A line whose far end never answers; the terminal the program prints to, for the row
        // that has one.
        sim::PtyPair silent, tty;
        arguments.replaceInStrings("@line", link)
            .replaceInStrings("@journal", journalPath)
            .replaceInStrings("@report", reportPath)
            .replaceInStrings("@dir", dir.path())
            .replaceInStrings("@silent", QString::fromStdString(silent.slavePath()))
            .replaceInStrings("@rfc2217", server ? server->url : QString())
            .replaceInStrings("@unanswered", full.url());
        const QByteArray old = "{\"result\": \"an earlier report\"}\n";
        QVERIFY(test::writeFile(reportPath, old));
        QVERIFY(test::writeFile(dir.filePath("config/kelm/kelm.conf"),
                                "X=1\n[Ports]\nCom2 /dev/ttyUSB4\nCom1=" + link.toUtf8() + "\n"));
        const test::ScopedEnv config("XDG_CONFIG_HOME", dir.filePath("config").toLocal8Bit());
        QProcess check;
        check.setChildProcessModifier([event, terminal = tty.slavePath()] {
            const rlimit limit{3000, 3000};
            if (event == "tty")
                ::dup2(::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC), STDERR_FILENO);
            // Whatever the runner of the tests ignores, the program is to meet the signal as sent.
            for (int s : {SIGHUP, SIGINT, SIGTERM})
                ::signal(s, SIG_DFL);
            if (event == "limit")
                ::setrlimit(RLIMIT_FSIZE, &limit);
            if (event == "full" &&
                ::dup2(::open("/dev/full", O_WRONLY | O_CLOEXEC), STDOUT_FILENO) < 0)
                ::_exit(127);
            if (event == "SIGINT background")
                ::signal(SIGINT, SIG_IGN);
        });
        // A failed run ends within seconds: one byte time-out, then the rest is skipped.
        QDeadlineTimer within(10000, Qt::PreciseTimer);
        check.start(KELM_CHECK_BIN, arguments);
        QString err;
        auto readErr = [&] { return err += QString::fromLocal8Bit(check.readAllStandardError()); };
        // Each event waits for its moment in the run; a connection's, for its attempt to be under
        // way.
        const bool connecting = event.endsWith("connecting");
        auto moment = [&] {
            return connecting ? full.tried()
                              : readErr().contains(event == "rmdir" ? "10/64" : "64/65");
        };
        if (!event.isEmpty() && event != "limit" && event != "tty" && event != "full")
            QVERIFY2(QTest::qWaitFor(moment, 20000), qPrintable(err));
        if (event == "kill") {
            server->stop();
            within.setRemainingTime(10000, Qt::PreciseTimer); // from here the run must end soon
        }
        // 0 once it has ended, which kill() would take for this test's own process group.
        const pid_t program = pid_t(check.processId());
        if (event == "rmdir") {
            QVERIFY(program > 0);
            // Held meanwhile, so that the run cannot end before its journal is gone.
            ::kill(program, SIGSTOP);
            QVERIFY(QDir(dir.filePath("j")).removeRecursively());
            ::kill(program, SIGCONT);
        }
        const int signo =
            QMap<QString, int>{{"SIGHUP", SIGHUP}, {"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}}.value(
                event.section(' ', 0, 0));
        if (signo != 0) {
            if (!connecting) {
                QTest::qWait(1000);
                QCOMPARE(test::portLockHolder(link), qint64(program));
            }
            QVERIFY(program > 0);
            ::kill(program, signo);
            // At the next safe point (at worst a connection attempt's 3 s), not the minute's end.
            QVERIFY(check.waitForFinished(10000));
            // The port's lock went with it: the next user can open the line.
            QCOMPARE(test::portLockHolder(link), 0);
        }
        QVERIFY(check.state() == QProcess::NotRunning || check.waitForFinished(60000));
        readErr();
        QVERIFY(exitCode != 1 || !within.hasExpired());
        if (exitCode == 2 && event.isEmpty())
            QVERIFY2(!err.contains(QRegularExpression(R"(\d/6\d )")), qPrintable(err)); // no step
        // A signal ends it by that signal, after its clean end, as a shell must see to stop a
        // loop over units at Ctrl-C: 128 plus its number to a script. (QProcess gives the
        // signal's number as the exit code of a process a signal ended.)
        QCOMPARE(check.exitStatus() == QProcess::CrashExit, signo != 0);
        QCOMPARE(check.exitCode() + (signo != 0 ? 128 : 0), exitCode);
        QVERIFY(!err.contains('\033')); // no terminal here: lines, not a bar that redraws
        // Said once, however often the settings are read.
        QVERIFY2(err.count("is not a setting") <= 1, qPrintable(err));
        QVERIFY(!arguments.contains("--quiet") || !err.contains("/64"));
        if (event == "tty") {
            err = QString::fromLocal8Bit(test::readAvailable(tty.master()));
            QCOMPARE(err.split('\n').filter("\033[K").size(), 1);
        }
        const QByteArray out = check.readAllStandardOutput();
        QVERIFY2((err + out).contains(stderrHas), qPrintable(err + out));
        const QByteArray text = test::readFile(reportPath);
        QCOMPARE(text == old, report.isEmpty());
        if (report.isEmpty())
            return;
        const QJsonObject json = QJsonDocument::fromJson(text).object();
        QCOMPARE(json["result"].toString(), report);
        // At the speed asked for, 9600 where none is: in both reports and in the journal.
        const qsizetype speed = arguments.indexOf("--speed") + 1;
        const QString baud = speed > 0 ? arguments[speed] : "9600";
        QCOMPARE(json["speed"].toInt(), baud.toInt());
        // The continuous test lies within the run, however far it came; one that passed ran its
        // minutes.
        const double minutes = json["soak"]["minutes"].toDouble();
        const qsizetype soak = arguments.indexOf("--soak") + 1;
        QVERIFY(minutes * 60 <= json["duration"].toDouble() + 0.01);
        QVERIFY(report != "passed" || soak == 0 || minutes >= arguments[soak].toDouble());
        // The verdict; the steps skipped after a failure in one line, the one a signal cut short
        // (a continuous test under way) in a row of its own.
        const bool cutShort = report == "interrupted" && arguments.contains("--soak");
        QVERIFY2(out.contains(report.toUpper().toLatin1()) &&
                     QString::fromUtf8(out).contains(QRegularExpression(
                         R"(\ncontinuous test +skipped +\d+\.\d\ds  interrupted: )")) == cutShort &&
                     out.count("skipped  ") == cutShort,
                 out.constData());
        // The JUnit report: one case per step, counted right, the failed one with its detail.
        const QByteArray junit = test::readFile(dir.filePath("report.xml"));
        QXmlStreamReader xml(junit);
        QMap<QString, int> seen;
        QXmlStreamAttributes suite;
        QMap<QString, QString> property;
        QString failure;   // its type, message and text
        QStringList skips; // each skipped case's reason, empty for none
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement || !++seen[xml.name().toString()])
                continue;
            if (xml.name() == u"testsuite")
                suite = xml.attributes();
            if (xml.name() == u"property")
                property[xml.attributes().value("name").toString()] =
                    xml.attributes().value("value").toString();
            if (xml.name() == u"failure")
                failure =
                    QStringList{xml.attributes().value("type").toString(),
                                xml.attributes().value("message").toString(), xml.readElementText()}
                        .join(" | ");
            if (xml.name() == u"skipped")
                skips << xml.attributes().value("message").toString();
        }
        QCOMPARE(property["result"], report); // "interrupted" has no count of its own
        QCOMPARE(property["speed"], baud);
        // What the unit answered to the status query, where it answered; the property either way.
        const QJsonValue query = json["steps"][0];
        QCOMPARE(property.value("status", "(none)"),
                 query["result"] == "passed" ? query["detail"].toString() : "");
        QVERIFY2(!xml.hasError() && seen["testcase"] >= 64, qPrintable(xml.errorString()));
        QVERIFY(seen["testsuites"] == 1 && seen["testsuite"] == 1);
        QCOMPARE(suite.value("name").toString(), "kelm-check");
        // The failed step's detail, and its link error code where it has one, and each skipped
        // step's reason, as both reports give them.
        QString linkError, detail;
        QStringList skipped;
        for (const QJsonValue step : json["steps"].toArray())
            if (step["result"] == "failed") {
                detail = step["detail"].toString();
                if (step["error"].isDouble())
                    linkError = QStringLiteral("link error %1").arg(step["error"].toInt());
            } else if (step["result"] == "skipped")
                skipped << step["detail"].toString();
        QCOMPARE(failure, detail.isEmpty() ? "" : linkError + " | " + detail + " | " + detail);
        QCOMPARE(skips, skipped);
        QCOMPARE(linkError.isEmpty(), !stderrHas.contains(" (132)"));
        // A line a case, to read.
        QCOMPARE(int(junit.count("\n        <testcase ")), seen["testcase"]);
        QCOMPARE(suite.value("tests").toInt(), seen["testcase"]);
        QCOMPARE(suite.value("failures").toInt(), seen["failure"]);
        QCOMPARE(suite.value("skipped").toInt(), seen["skipped"]);
        QCOMPARE(seen["failure"], report == "failed" || connecting ? 1 : 0);
        // Local time with its offset: unambiguous across a change of daylight saving time.
        const QRegularExpression withOffset(R"(T\d\d:\d\d:\d\d\.\d{3}([+-]\d\d:\d\d|Z)$)");
        const QString start = json["start"].toString();
        QVERIFY2(start.contains(withOffset), qPrintable(start));
        if (!arguments.contains("--journal"))
            return;
        QCOMPARE(json["journal"]["file"].toString(), journalPath);
        QCOMPARE(json["journal"].toObject().contains("stopped"), event == "rmdir");
        if (event == "rmdir")
            return;
        const QStringList lines = journalLines(journalPath);
        const QRegularExpression opened(R"(---- port opened: Com 1 \(.+\) )" + baud + ",e,8,1$");
        QVERIFY(lines.filter("check " + report).size() == 1 && lines.filter(opened).size() == 1 &&
                lines.filter("port lost").isEmpty() && lines.last().endsWith("journal stopped"));
        const QJsonArray steps = json["steps"].toArray();
        QCOMPARE(steps.size(), arguments.contains("--soak") ? 65 : 64);
        // A continuous test cut short is no verdict on the unit.
        QCOMPARE(steps.last()["result"].toString(), report == "interrupted" ? "skipped" : "passed");
    }

    // scripts/demo.sh: the launcher starts the tool with a simulated unit and ends with it.
    // The first signal is delivered as a Qt signal, also where nothing ran the event loop since;
    // the second takes its default action, which ends a program whose clean end hangs.
    void secondSignalTakesItsDefault()
    {
        const auto openFiles = [] {
            return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System).size();
        };
        const qsizetype before = openFiles();
        QVERIFY(before > 2);
        {
            TerminationSignals ends({SIGUSR1});
            QSignalSpy caught(&ends, &TerminationSignals::caught);
            std::raise(SIGUSR1);
            // Taken without the event loop too, as at the end of a run that last ran it before
            // the signal came.
            ends.takePending();
            QCOMPARE(caught.count(), 1);
            QCOMPARE(ends.exitCode(), 128 + SIGUSR1);
            struct sigaction now = {};
            QCOMPARE(::sigaction(SIGUSR1, nullptr, &now), 0);
            QVERIFY(now.sa_handler == SIG_DFL);
        }
        QCOMPARE(openFiles(), before); // its pipe goes with it
    }

    void demoLauncher()
    {
        QProcess p;
        p.start("env",
                {"QT_QPA_PLATFORM=offscreen", KELM_DEMO_BIN, "--ok", "--quit-after", "1500"});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        // The tool itself answers these without a display, as every Linux program does.
        for (const auto &[option, says] :
             {std::pair("--version", "kelm " KELM_VERSION "\n"), {"-h", "Usage: kelm [--help"}}) {
            p.start("env", {"-u", "DISPLAY", "QT_QPA_PLATFORM=xcb", KELM_BIN, option});
            QVERIFY(p.waitForFinished(5000) && p.exitCode() == 0);
            QVERIFY2(p.readAllStandardOutput().startsWith(says), option);
        }
    }

    void linesPerBurstAndEvent()
    {
        // Moves only when slept: the times the journal writes are exact, however loaded the
        // machine.
        struct : Clock
        {
            double now() const override { return t; }
            void sleep(double seconds) override { t += seconds; }
            double t = 0;
        } clock;
        QTemporaryDir dir;
        TrafficJournal j(clock);
        QString error;
        // Local time as a POSIX rule (no zone files needed), and back at the end, an empty TZ
        // (UTC) kept apart from an unset one (the system's zone).
        const auto rereadZone = qScopeGuard([] { ::tzset(); });
        const test::ScopedEnv zone("TZ", "KLM-1");
        ::tzset();
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
        qputenv("TZ", "KLM-5:45"); // as when daylight saving time begins, by hours and minutes
        ::tzset();
        j.note("send failed, error 137");
        j.note("port lost: /dev/tty\r\t\n2026-12-07 14:03:12.345  +0000012.345  ---- forged\\"
               "\u001f\u007f\u009f\u00a0\u2028\u2029");
        QVERIFY(j.flush());
        const QStringList lines = journalLines(dir.filePath("j.txt"));
        QStringList got;
        for (const QString &line : lines) {
            const auto m = kLine.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            got << m.captured(3) + ' ' + m.captured(4);
        }
        QCOMPARE(kLine.match(lines[5]).captured(2), "0000000.200");
        // Milliseconds are cut, never rounded up into the next one; the decimal mark is a point
        // also where the locale's is a comma (a locale made here, none needs to be installed).
        QTemporaryDir locales;
        QProcess::execute("localedef", {"-i", "de_DE", "-f", "UTF-8", locales.filePath("de")});
        const test::ScopedEnv locpath("LOCPATH", locales.path().toLocal8Bit());
        const auto numeric = qScopeGuard([] { std::setlocale(LC_NUMERIC, "C"); });
        QVERIFY2(std::setlocale(LC_NUMERIC, "de"), "no de_DE locale: is the locales package in?");
        tm at{};
        at.tm_year = 126, at.tm_mon = 11, at.tm_mday = 7, at.tm_hour = 14, at.tm_min = 3,
        at.tm_sec = 12;
        for (const auto &[ns, ms] :
             {std::pair(999'999L, "000"), {1'999'999L, "001"}, {999'999'999L, "999"}})
            QCOMPARE(journalLineHead(at, ns, 12.3456, "PC"),
                     "2026-12-07 14:03:12." + QByteArray(ms) + "  +0000012.346  PC  ");
        // The wall clock in the local time of then: within a minute of now, read as UTC+01:00.
        QDateTime stamp =
            QDateTime::fromString(kLine.match(lines[0]).captured(1), "yyyy-MM-dd hh:mm:ss.zzz");
        stamp.setTimeZone(QTimeZone(3600));
        QVERIFY2(stamp.isValid() && qAbs(stamp.secsTo(QDateTime::currentDateTimeUtc())) < 60,
                 qPrintable(stamp.toString(Qt::ISODate)));
        QCOMPARE(got,
                 (QStringList{
                     "---- journal started, local time is UTC+01:00",
                     "---- port opened: Com 1 (/dev/ttyS0) 9600,e,8,1", "PC   02", "KELM 10",
                     "PC   34 10 03 27", "PC   02", "KELM" + QString(" A0").repeated(32),
                     "KELM" + QString(" A0").repeated(8), "---- local time is now UTC+05:45",
                     "---- send failed, error 137",
                     "---- port lost: /dev/tty\\r\\t\\n2026-12-07 14:03:12.345  "
                     "+0000012.345  ---- forged\\\\\\u001f\\u007f\\u009f\u00a0\\u2028\\u2029"}));
    }

    // Bytes go out within a second, a failure at once with the bytes before it. Then bursts that
    // straddle the size limit, flushed half way as the timer does: every file holds whole lines,
    // each new one names the file it continues (or, kept in one file, says it began again), every
    // full one is filled to near its limit, and no byte is lost or doubled.
    void flushesAndRotatesBetweenWholeLines()
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
        // The same journal started afresh, now with a small size limit, kept in three files;
        // then on another file, kept in that one alone.
        j.stop();
        QVERIFY(QFile::remove(path));
        QStringList listed;
        for (const auto &[name, files] : {std::pair(QStringLiteral("j.txt"), 3), {"one.txt", 1}}) {
            const QString file = dir.filePath(name);
            QVERIFY(j.start(file, &error, 1024, files));
            QByteArray sent[2];
            for (int i = 0; i < 300; ++i) {
                const std::uint8_t direction = i % 3 == 0 ? DirUnit : DirPc;
                for (int k = 0; k < 1 + i % 7; ++k) {
                    j.V24MonWriteBuf(direction, std::uint8_t(i + k));
                    sent[direction] += char(i + k);
                    if (k == 2)
                        QVERIFY(j.flush());
                }
                if (i % 50 == 0)
                    j.note(QStringLiteral("event %1").arg(i));
            }
            j.stop();
            QStringList names{name};
            for (int n = 1; n < files; ++n)
                names << name + '.' + QString::number(n);
            listed += names;
            listed.sort();
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), listed);
            QStringList all;
            for (auto it = names.crbegin(); it != names.crend(); ++it) {
                const QByteArray text = test::readFile(dir.filePath(*it));
                QVERIFY(text.size() <= 1024 && text.endsWith('\n'));
                QVERIFY(text.size() > 512 || *it == name); // moved aside near its limit
                const QStringList lines = QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts);
                for (const QString &line : lines)
                    QVERIFY2(kLine.match(line).hasMatch(), qPrintable(*it + ": " + line));
                QCOMPARE(kLine.match(lines.first()).captured(4),
                         files > 1 ? "continues " + file + ".1"
                                   : "started again at its size limit");
                all += lines;
            }
            QVERIFY(all.last().endsWith("journal stopped"));
            for (std::uint8_t d : {DirPc, DirUnit}) {
                const QByteArray kept = bytesOf(all, d == DirPc ? "PC" : "KELM");
                // Kept in one file, a few of the unit's bytes are all that is left of it.
                QVERIFY(!kept.isEmpty() && sent[d].endsWith(kept));
            }
        }
        // Gone while recording: what it held still reaches the file, and the file says so.
        {
            TrafficJournal last;
            QVERIFY(last.start(dir.filePath("last.txt"), &error));
            last.V24MonWriteBuf(DirUnit, 0x06);
        }
        const QStringList last = journalLines(dir.filePath("last.txt"));
        QVERIFY(last.last().endsWith("journal stopped") && bytesOf(last, "KELM") == "\x06");
    }

    // A journal that cannot go on says so once, with its file and the reason, and keeps what it
    // holds; the first write of a start is refused as the start's own failure.
    void stopsOnce_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::newRow("size limit") << "large";
        QTest::newRow("first write refused") << "space";
        QTest::newRow("folder removed") << "removed";
        QTest::newRow("file replaced") << "replaced";
        QTest::newRow("file removed, then the size limit met") << "removed while recording";
        QTest::newRow("folder in the rotated file's place") << "cannot move";
    }

    void stopsOnce()
    {
        QFETCH(QString, reason);
        const QString how = QTest::currentDataTag();
        QTemporaryDir dir;
        const QString path = how == "first write refused" ? "/dev/full" : dir.filePath("sub/j.txt");
        TrafficJournal j;
        QSignalSpy failed(&j, &TrafficJournal::failed);
        QString error;
        if (how == "first write refused") {
            QVERIFY(!j.start(path, &error));
            QVERIFY2(error.contains(reason) && failed.isEmpty(), qPrintable(error));
            return;
        }
        QDir(dir.path()).mkpath(how.startsWith("folder in") ? "sub/j.txt.1/x" : "sub");
        const QByteArray earlier = "an earlier run's record\n"; // appended to
        QVERIFY(how != "size limit" || test::writeFile(path, earlier));
        QVERIFY(j.start(path, &error, 1024, 2));
        if (how == "folder removed")
            QVERIFY(QDir(dir.filePath("sub")).removeRecursively());
        if (how == "file replaced")
            QVERIFY(QFile::rename(path, path + ".old") && test::writeFile(path, {}));
        const bool removed = how.startsWith("file removed");
        if (removed)
            QVERIFY(QFile::remove(path));
        {
            test::FileSizeLimit limit(how == "size limit" ? 400 : 1 << 20);
            // Held back where the rotation is to meet the fault, not a flush before it.
            for (int i = 0; i < 30; ++i)
                j.note(QStringLiteral("event %1").arg(i), how != "size limit" && !removed);
        }
        QCOMPARE(failed.count(), 1);
        const QString message = failed[0][0].toString();
        QVERIFY2(message.startsWith(path) && message.contains(reason, Qt::CaseInsensitive),
                 qPrintable(message));
        QVERIFY(!j.recording());
        j.V24MonWriteBuf(DirPc, 0x02); // ignored, no crash
        QVERIFY(!j.flush());
        QCOMPARE(failed.count(), 1);
        // No half line: the file ends on the last line written whole, after what it held before,
        // and is not moved.
        if (how == "size limit") {
            const QByteArray kept = test::readFile(path);
            QVERIFY(kept.startsWith(earlier) && kept.endsWith('\n') && !QFile::exists(path + ".1"));
        }
        // Not moved, so not emptied: it still holds every event up to the limit.
        if (how.startsWith("folder in"))
            QVERIFY(journalLines(path).first().contains("journal started") &&
                    QFileInfo(path).size() > 900);
        // Started again, elsewhere: a fresh record, nothing of the one that stopped.
        QVERIFY(j.start(dir.filePath("again.txt"), &error) && j.failure().isEmpty());
        QVERIFY(journalLines(dir.filePath("again.txt")).first().contains("journal started"));
    }

    // "Mitschnitt..." records from a chosen file; the choice is remembered, and the next start
    // records from the first byte, the start-up detection included.
    void menuEntryRecordsAndResumes()
    {
        QTemporaryDir home;
        const test::ScopedEnv state("XDG_STATE_HOME", home.path().toLocal8Bit());
        const QString path = home.filePath("kelm-journal.txt");
        {
            test::ToolOnLine tool;
            tool.start();
            // A file that cannot be written: a warning as the monitor gives for its logs.
            tool.window.setJournalFileProvider([] { return QStringLiteral("/nonexistent/j.txt"); });
            QAction *entry = tool.menu("mnuMitschnitt");
            entry->trigger();
            QVERIFY(!entry->isChecked());
            // One message box (one icon apiece).
            QCOMPARE(tool.watcher.icons, QList<QMessageBox::Icon>{QMessageBox::Warning});
            QVERIFY2(tool.watcher.messages[0].startsWith(
                         "Die Datei /nonexistent/j.txt konnte nicht geschrieben werden:\n"),
                     qPrintable(tool.watcher.messages[0]));
            tool.window.setJournalFileProvider([&] { return path; });
            QCOMPARE(entry->text(), QStringLiteral("Mitschnitt..."));
            entry->trigger();
            QVERIFY(entry->isChecked());
            QTest::mouseClick(tool.key(2), Qt::LeftButton);
            entry->trigger();
            QVERIFY(!entry->isChecked() && !tool.window.journal().recording());
            QCOMPARE(bytesOf(journalLines(path), "PC"), QByteArray::fromHex("0233100320"));
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
        // Switched off, it stays off.
        again.menu("mnuMitschnitt")->trigger();
        QVERIFY(!test::ToolOnLine().menu("mnuMitschnitt")->isChecked());
        // A journal that fails while it records takes its tick with it, and says so.
        QVERIFY(QDir(home.path()).mkpath("sub"));
        again.window.setJournalFileProvider([&] { return home.filePath("sub/j.txt"); });
        again.menu("mnuMitschnitt")->trigger();
        QVERIFY(again.menu("mnuMitschnitt")->isChecked());
        QVERIFY(QDir(home.filePath("sub")).removeRecursively());
        QTest::mouseClick(again.key(3), Qt::LeftButton);
        QTRY_VERIFY(!again.menu("mnuMitschnitt")->isChecked());
        QTRY_COMPARE(again.watcher.messages.size(), 1);
    }
};

QTEST_MAIN(CheckTest)
#include "tst_check.moc"
