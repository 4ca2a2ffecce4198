// kelm-unit: the simulated KELM unit on a serial line of its own.
#include "sim/PtyPair.h"
#include "sim/SimUnit.h"
#include "sim/UnitScript.h"
#include "sim/UnitWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

int main(int argc, char *argv[])
{
    // The command line and the device are checked before any window system is needed, so
    // that --help and a wrong device answer on a plain terminal too.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A simulated KELM operator unit speaking 3964R on DEVICE: a serial port (for example the "
        "far end of a null-modem cable) or one side of a pseudo-terminal pair, such as\n"
        "  socat pty,raw,echo=0,link=/tmp/kelm-a pty,raw,echo=0,link=/tmp/kelm-b\n"
        "with the tool on the other side."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption speed(QStringList{QStringLiteral("s"), QStringLiteral("speed")},
                             QStringLiteral("Line speed, 9600 or 19200 (default 9600)."),
                             QStringLiteral("baud"), QStringLiteral("9600"));
    QCommandLineOption stx(QStringLiteral("stx"),
                           QStringLiteral("The block check covers STX (units 100201 to 100203)."));
    QCommandLineOption pty(
        QStringLiteral("pty"),
        QStringLiteral("Instead of DEVICE, make a pseudo-terminal pair, serve one side and put a "
                       "symbolic link to the other at LINK, for the tool's port (for example "
                       "Com1=LINK under [Ports] in ~/.config/kelm/kelm.conf)."),
        QStringLiteral("LINK"));
    QCommandLineOption script(
        QStringLiteral("script"),
        QStringLiteral(
            "Take commands on standard input (key N, release, selector S P, report HEX, "
            "burst N, quit) and report every settled block on standard output "
            "(rx HEX MS, tx HEX MS, tx-failed HEX MS; MS in milliseconds since the start)."));
    parser.addOption(speed);
    parser.addOption(stx);
    parser.addOption(pty);
    parser.addOption(script);
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("The serial line."),
                                 QStringLiteral("[DEVICE]"));
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "kelm-unit: %s (see --help)\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help)) {
        std::printf("%s", qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                               QStringLiteral("kelm-unit"))));
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("kelm-unit %s\n", KELM_VERSION);
        return 0;
    }

    const QStringList args = parser.positionalArguments();
    if (args.size() != (parser.isSet(pty) ? 0 : 1)) {
        std::fprintf(stderr, "kelm-unit: give exactly one DEVICE, or --pty LINK (see --help)\n");
        return 2;
    }
    const int baud = parser.value(speed).toInt();
    if (baud != 9600 && baud != 19200) {
        std::fprintf(stderr, "kelm-unit: speed must be 9600 or 19200, not %s\n",
                     qPrintable(parser.value(speed)));
        return 2;
    }
    QString line;
    int fd = -1;
    std::unique_ptr<kelm::sim::PtyPair> pair;
    if (parser.isSet(pty)) {
        line = parser.value(pty);
        pair = std::make_unique<kelm::sim::PtyPair>();
        const QFileInfo existing(line);
        if (existing.exists() && !existing.isSymLink()) {
            std::fprintf(stderr, "kelm-unit: %s exists and is no symbolic link\n",
                         qPrintable(line));
            return 1;
        }
        QFile::remove(line);
        if (!pair->isValid()) {
            std::fprintf(stderr, "kelm-unit: cannot open a pseudo-terminal: %s\n",
                         std::strerror(errno));
            return 1;
        }
        QFile slave(QString::fromStdString(pair->slavePath()));
        if (!slave.link(line)) {
            std::fprintf(stderr, "kelm-unit: cannot make a line at %s: %s\n", qPrintable(line),
                         qPrintable(slave.errorString()));
            return 1;
        }
        fd = pair->master();
        std::printf("line %s %s\n", qPrintable(line), pair->slavePath().c_str());
        std::fflush(stdout);
    } else {
        line = args[0];
        QString error;
        fd = kelm::sim::openUnitLine(line, baud, &error);
        if (fd < 0) {
            std::fprintf(stderr, "kelm-unit: cannot open %s: %s\n", qPrintable(line),
                         qPrintable(error));
            return 1;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelm-unit"));
    QApplication::setApplicationVersion(QStringLiteral(KELM_VERSION));
    kelm::sim::SimUnit unit(fd);
    unit.setStxVariant(parser.isSet(stx));
    // A pseudo-terminal has no line speed of its own: the unit keeps the pace of a real line.
    unit.setByteTimeUs(11 * 1000000 / baud);
    std::unique_ptr<kelm::sim::UnitScript> control;
    if (parser.isSet(script)) {
        kelm::sim::UnitScript::reportEvents(unit);
        control = std::make_unique<kelm::sim::UnitScript>(unit);
    }
    kelm::sim::UnitWindow window(unit, line);
    unit.start();
    window.show();
    const int rc = app.exec();
    unit.stop();
    if (pair)
        QFile::remove(line);
    else
        ::close(fd);
    return rc;
}
