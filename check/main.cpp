// kelm-check: checks a KELM unit without a window, for test benches and scripts.
#include "check/CheckReport.h"
#include "journal/TrafficJournal.h"
#include "link/MSComm.h"
#include "link/NetPort.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>
#include <csignal>
#include <cstdio>
#include <unistd.h>

using namespace kelm;

namespace {
enum Exit
{
    Passed = 0,
    Failed = 1,
    Trouble = 2
};

int usage(const QString &text)
{
    std::fprintf(stderr, "kelm-check: %s (see --help)\n", qPrintable(text));
    return Trouble;
}

// One line per step; on a terminal a bar that redraws itself instead.
void progress(const CheckStep &step, int n, int total, bool quiet)
{
    if (quiet)
        return;
    const char *result = step.result == CheckStep::Result::Passed   ? "ok"
                         : step.result == CheckStep::Result::Failed ? "FAILED"
                                                                    : "skipped";
    if (::isatty(STDERR_FILENO)) {
        const int filled = 30 * n / total;
        std::fprintf(stderr, "\r\033[K[%.*s%.*s] %3d/%d %s: %s", filled,
                     "##############################", 30 - filled,
                     "------------------------------", n, total, qPrintable(step.name), result);
        if (n == total || step.result == CheckStep::Result::Failed)
            std::fputc('\n', stderr);
    } else {
        std::fprintf(stderr, "%d/%d %s: %s%s%s\n", n, total, qPrintable(step.name), result,
                     step.detail.isEmpty() ? "" : " - ", qPrintable(step.detail));
    }
    std::fflush(stderr);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelm-check"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELM_VERSION));
    // A journal written beyond a file-size limit must fail with its reason, not end the run.
    std::signal(SIGXFSZ, SIG_IGN);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks a KELM operator unit without a window: status query, every LED on, blinking and "
        "off, every display line normal, inverse and blinking. Exit status 0 when every step "
        "passed, 1 when one failed or a network port's server could not be reached, 2 on a "
        "usage error or a port that cannot be opened."));
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
        std::printf("%s", qPrintable(parser.helpText()));
        return Passed;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("kelm-check %s\n", KELM_VERSION);
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
        if (!ok || minutes <= 0)
            return usage(QStringLiteral("--soak takes a number of minutes, not \"%1\"")
                             .arg(parser.value(soak)));
    }
    const bool beQuiet = parser.isSet(quiet);

    MSComm comm;
    if (parser.isSet(port)) {
        const QString device = parser.value(port);
        comm.setDeviceResolver([device](int) { return device; });
    }
    comm.setCommPort(comNumber);
    comm.setSettings(QStringLiteral("%1,e,8,1").arg(baud));
    comm.setTag(parser.isSet(stx) ? QStringLiteral("STX") : QString());

    HeadlessPanel panel;
    panel.watchPort(comm);
    TrafficJournal trafficJournal;
    TrafficSinks sinks;
    sinks.add(&trafficJournal);
    mod3964R link(comm, sinks, panel);
    KELM kelm(link, panel);
    QObject::connect(&comm, &MSComm::OnComm, [&link] { link.MSComm1_OnComm(); });
    QObject::connect(&comm, &MSComm::portOpened,
                     [&] { trafficJournal.portOpened(comm.description()); });
    QObject::connect(&comm, &MSComm::portLost, [&](const QString &text) {
        trafficJournal.note(QStringLiteral("port lost: ") + text, true);
        panel.setDemoMode(true);
        std::fprintf(stderr, "kelm-check: %s\n", qPrintable(text));
    });
    QObject::connect(&trafficJournal, &TrafficJournal::failed, [](const QString &message) {
        std::fprintf(stderr, "kelm-check: journal stopped: %s\n", qPrintable(message));
    });
    if (parser.isSet(journal)) {
        QString error;
        if (!trafficJournal.start(parser.value(journal), &error)) {
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
    if (!comm.setPortOpen(true)) {
        std::fprintf(stderr, "kelm-check: %s\n",
                     qPrintable(parser.isSet(port)
                                    ? run.device + QStringLiteral(": ") + comm.systemErrorString()
                                    : comm.errorString()));
        // A unit behind a server that refused or never answered is a unit not reached.
        return isNetworkPort(run.device) ? Failed : Trouble;
    }
    link.LinkStatus = linkstatus::Idle;

    UnitCheck check(link, kelm, panel);
    check.keys = parser.isSet(keys);
    check.soakMinutes = minutes;
    check.stepDone = [beQuiet](const CheckStep &s, int n, int total) {
        progress(s, n, total, beQuiet);
    };
    check.prompt = [](const QString &text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        std::fflush(stderr);
    };
    const double started = steadyClock().now();
    run.steps = check.run();
    run.seconds = steadyClock().now() - started;
    run.soakRan = minutes > 0;
    run.soak = check.soak();
    trafficJournal.note(
        run.passed() ? QStringLiteral("check passed") : QStringLiteral("check failed"), true);
    trafficJournal.stop();
    comm.setPortOpen(false);

    std::printf("%s", qPrintable(checkSummary(run)));
    if (parser.isSet(json)) {
        QSaveFile file(parser.value(json));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
            file.write(checkJson(run)) < 0 || !file.commit()) {
            std::fprintf(stderr, "kelm-check: %s: %s\n",
                         qPrintable(QDir::toNativeSeparators(parser.value(json))),
                         qPrintable(file.errorString()));
            return Trouble;
        }
    }
    if (parser.isSet(junit)) {
        QSaveFile file(parser.value(junit));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
            file.write(checkJunit(run)) < 0 || !file.commit()) {
            std::fprintf(stderr, "kelm-check: %s: %s\n",
                         qPrintable(QDir::toNativeSeparators(parser.value(junit))),
                         qPrintable(file.errorString()));
            return Trouble;
        }
    }
    return run.passed() ? Passed : Failed;
}
