// kelm-check: checks a KELM unit without a window, for test benches and scripts.
#include "check/CheckReport.h"
#include "link/NetPort.h"
#include "link/Settings.h"
#include "link/WholeFile.h"
#include "station/Station.h"
#include "station/TerminationSignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace kelm;

namespace {
enum Exit
{
    Passed = 0,
    Failed = 1,
    Trouble = 2
};

// A month of continuous test is as long as anyone runs one; more is a typing error.
constexpr double kMaxSoakMinutes = 31 * 24 * 60;

int usage(const QString &text)
{
    std::fprintf(stderr, "kelm-check: %s\nTry 'kelm-check --help' for more information.\n",
                 qPrintable(text));
    return Trouble;
}

// On a terminal a bar that redraws itself, else one line each time.
void bar(int filled, const QString &text, bool lastOfBar)
{
    if (::isatty(STDERR_FILENO)) {
        std::fprintf(stderr, "\r\033[K[%.*s%.*s] %s", filled, "##############################",
                     30 - filled, "------------------------------", qPrintable(text));
        if (lastOfBar)
            std::fputc('\n', stderr);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    }
    std::fflush(stderr);
}

QString clockText(double seconds)
{
    const int s = static_cast<int>(seconds + 0.5);
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

// One line per step that ran, and one for those skipped after a failure.
void progress(const CheckStep &step, int n, int total, bool quiet)
{
    if (quiet)
        return;
    static int skipped = 0;
    // A step cut short by a signal ran, and says how far it got.
    const bool ran = !step.detail.isEmpty();
    if (step.result == CheckStep::Result::Skipped && !ran) {
        ++skipped;
        if (n == total)
            std::fprintf(stderr, "%d more steps skipped after the failure\n", skipped);
        return;
    }
    const bool failed = step.result == CheckStep::Result::Failed;
    bar(30 * n / total,
        QStringLiteral("%1/%2 %3: %4%5")
            .arg(n)
            .arg(total)
            .arg(step.name, failed                                      ? QStringLiteral("FAILED")
                            : step.result == CheckStep::Result::Skipped ? QStringLiteral("skipped")
                                                                        : QStringLiteral("ok"))
            .arg(step.detail.isEmpty() ? QString() : QStringLiteral(" - ") + step.detail),
        n == total || failed);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelm-check"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELM_VERSION));
    // A journal written beyond a file-size limit must fail with its reason, not end the run.
    std::signal(SIGXFSZ, SIG_IGN);
    // A reader of standard output that went away is a failed write, not the end of the run.
    std::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks a KELM operator unit without a window: status query, every LED on, blinking and "
        "off, every display line normal, inverse and blinking. Exit status 0 when every step "
        "passed, 1 when one failed or a network port's server could not be reached, 2 on a "
        "usage error, a port that cannot be opened, a report that cannot be written or a journal "
        "that stopped; ended by SIGHUP, SIGINT or SIGTERM, 129, 130 or 143 as the shell reports "
        "it."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The serial device, e.g. /dev/ttyUSB0, or a line "
                                                 "behind a serial device server: "
                                                 "rfc2217://HOST:PORT or tcp://HOST:PORT."),
                                  QStringLiteral("DEVICE"));
    const QCommandLineOption com(
        QStringLiteral("com"),
        QStringLiteral("Com N (1 to 4) as the tool resolves it, [Ports] in kelm.conf included."),
        QStringLiteral("N"));
    const QCommandLineOption speed(QStringLiteral("speed"),
                                   QStringLiteral("9600 (default) or 19200."),
                                   QStringLiteral("BAUD"), QStringLiteral("9600"));
    const QCommandLineOption stx(QStringLiteral("stx"),
                                 QStringLiteral("The block check covers STX (units 100201 to "
                                                "100203)."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Write a report in JSON to FILE."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption junit(QStringLiteral("junit"),
                                   QStringLiteral("Write a report in JUnit XML to FILE."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption journal(QStringLiteral("journal"),
                                     QStringLiteral("Record every byte and event to FILE."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption keys(
        QStringLiteral("keys"),
        QStringLiteral("Also check the keys and selectors, with an operator at the unit."));
    const QCommandLineOption soak(
        QStringLiteral("soak"),
        QStringLiteral("Also run the continuous test for MINUTES and count its cycles."),
        QStringLiteral("MINUTES"));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("No progress on standard error."));
    parser.addOptions({port, com, speed, stx, json, junit, journal, keys, soak, quiet});
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        // The port is no option to leave out; the usage line says so.
        std::printf("%s", qPrintable(parser.helpText().replace(
                              QStringLiteral(" [options]"),
                              QStringLiteral(" (--port DEVICE | --com N) [options]"))));
        return Passed;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("kelm-check %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return Passed;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments()[0]));
    if (parser.isSet(port) == parser.isSet(com))
        return usage(QStringLiteral("give either --port DEVICE or --com N"));
    bool ok = false;
    const int comNumber = parser.isSet(com) ? parser.value(com).toInt(&ok) : 1;
    if (parser.isSet(com) && (!ok || comNumber < 1 || comNumber > 4))
        return usage(QStringLiteral("--com takes 1 to 4, not \"%1\"").arg(parser.value(com)));
    const int baud = parser.value(speed).toInt(&ok);
    if (!ok || (baud != 9600 && baud != 19200))
        return usage(
            QStringLiteral("--speed takes 9600 or 19200, not \"%1\"").arg(parser.value(speed)));
    double minutes = 0;
    if (parser.isSet(soak)) {
        minutes = parser.value(soak).toDouble(&ok);
        if (!ok || !std::isfinite(minutes) || minutes <= 0 || minutes > kMaxSoakMinutes)
            return usage(
                QStringLiteral(
                    "--soak takes more than 0 and at most %1 minutes (31 days), not \"%2\"")
                    .arg(kMaxSoakMinutes)
                    .arg(parser.value(soak)));
    }
    const bool beQuiet = parser.isSet(quiet);

    // Where the reports go is tried before the first step, not after an overnight run.
    const std::pair<QString, QByteArray (*)(const CheckRun &)> reports[] = {
        {parser.value(json), checkJson}, {parser.value(junit), checkJunit}};
    for (const auto &[path, format] : reports) {
        QString error;
        if (!path.isEmpty() && !canSaveWholeFile(path, &error)) {
            std::fprintf(stderr, "kelm-check: %s: %s\n", qPrintable(QDir::toNativeSeparators(path)),
                         qPrintable(error));
            return Trouble;
        }
    }

    // Ctrl-C, a kill or a closed terminal: the steps so far are reported and the port released.
    // Taken from here on; the run looks at them from its first wait.
    TerminationSignals endSignals({SIGINT, SIGTERM, SIGHUP});
    HeadlessPanel panel;
    Station station(panel);
    MSComm &comm = station.port();
    panel.watchPort(comm);
    if (parser.isSet(port)) {
        const QString device = parser.value(port);
        comm.setDeviceResolver([device](int) { return device; });
    }
    comm.setCommPort(comNumber);
    comm.setSettings(QStringLiteral("%1,e,8,1").arg(baud));
    comm.setTag(parser.isSet(stx) ? QStringLiteral("STX") : QString());
    QObject::connect(&station, &Station::portLost, [&panel](const QString &text) {
        // A continuous test would otherwise wait out its 10 s for an acknowledgement that
        // cannot come.
        panel.setDauertestTicked(false);
        std::fprintf(stderr, "kelm-check: %s\n", qPrintable(text));
    });
    QObject::connect(&station, &Station::journalFailed, [](const QString &message) {
        std::fprintf(stderr, "kelm-check: journal stopped: %s\n", qPrintable(message));
    });
    TrafficJournal &trafficJournal = station.journal();
    if (parser.isSet(journal)) {
        QString error;
        if (!trafficJournal.start(parser.value(journal), &error, configuredJournalMaxBytes(),
                                  configuredJournalFiles())) {
            std::fprintf(stderr, "kelm-check: %s: %s\n",
                         qPrintable(QDir::toNativeSeparators(parser.value(journal))),
                         qPrintable(error));
            return Trouble;
        }
    }

    CheckRun run;
    run.port = parser.isSet(port) ? parser.value(port) : QStringLiteral("Com %1").arg(comNumber);
    run.device = comm.systemLocation();
    run.speed = baud;
    run.coversStx = parser.isSet(stx);
    run.start = QDateTime::currentDateTime();
    run.journal = parser.value(journal);
    UnitCheck check(station.link(), station.device(), panel);
    check.keys = parser.isSet(keys);
    check.soakMinutes = minutes;
    check.stepDone = [beQuiet](const CheckStep &s, int n, int total) {
        progress(s, n, total, beQuiet);
    };
    check.soakProgress = [beQuiet](const SoakFigures &f, double elapsed, double remaining) {
        if (beQuiet)
            return;
        bar(static_cast<int>(30 * elapsed / std::max(1.0, elapsed + remaining)),
            QStringLiteral("continuous test: %1 elapsed, %2 remaining, %3 cycles, %4 characters, "
                           "%5 failures")
                .arg(clockText(elapsed), clockText(remaining))
                .arg(f.cycles())
                .arg(f.characters)
                .arg(f.failures),
            false);
    };
    check.prompt = [](const QString &text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        std::fflush(stderr);
    };
    QObject::connect(&endSignals, &TerminationSignals::caught, [&check] { check.interrupt(); });
    if (!comm.setPortOpen(true)) {
        const QString why = parser.isSet(port)
                                ? run.device + QStringLiteral(": ") + comm.systemErrorString()
                                : comm.errorString();
        std::fprintf(stderr, "kelm-check: %s\n", qPrintable(why));
        if (!isNetworkPort(run.device))
            return Trouble;
        // A unit behind a server that refused or never answered is a unit not reached: a failed
        // run, and the reports must say so rather than keep an earlier run's verdict.
        run.steps = check.unreached(why);
    } else {
        station.link().LinkStatus = linkstatus::Idle;
        const double started = steadyClock().now();
        run.steps = check.run();
        run.seconds = steadyClock().now() - started;
    }
    run.soakRan =
        !run.steps.empty() && run.steps.back().name == QLatin1String(UnitCheck::kSoakStep);
    run.soak = check.soak();
    endSignals.takePending();
    run.interrupted = check.interrupted();
    trafficJournal.note(QStringLiteral("check ") + run.result(), true);
    station.shutDown();
    run.journalStopped = trafficJournal.failure();

    // The report first: a terminal that went away with its ssh session must not cost it.
    int exit = run.passed() ? Passed : Failed;
    for (const auto &[path, format] : reports) {
        QString error;
        if (!path.isEmpty() && !saveWholeFile(path, format(run), &error)) {
            std::fprintf(stderr, "kelm-check: %s: %s\n", qPrintable(QDir::toNativeSeparators(path)),
                         qPrintable(error));
            exit = Trouble;
        }
    }
    std::printf("%s", qPrintable(checkSummary(run)));
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "kelm-check: standard output: %s\n", std::strerror(errno));
        exit = Trouble;
    }
    // A run whose record is incomplete has not done its job, whatever the unit did.
    if (!run.journalStopped.isEmpty())
        exit = Trouble;
    if (run.interrupted) {
        // Ended by the signal itself, after the clean end: a shell then sees 130 or 143 and a loop
        // around the program stops at Ctrl-C instead of going on to the next unit.
        std::fflush(stderr);
        std::signal(endSignals.received(), SIG_DFL);
        std::raise(endSignals.received());
        exit = endSignals.exitCode();
    }
    return exit;
}
