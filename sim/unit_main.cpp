// kelm-unit: the simulated KELM unit on a serial line of its own.
#include "sim/SimUnit.h"
#include "sim/UnitWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
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
    parser.addOption(speed);
    parser.addOption(stx);
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("The serial line."));
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
    if (args.size() != 1) {
        std::fprintf(stderr, "kelm-unit: give exactly one DEVICE (see --help)\n");
        return 2;
    }
    const int baud = parser.value(speed).toInt();
    if (baud != 9600 && baud != 19200) {
        std::fprintf(stderr, "kelm-unit: speed must be 9600 or 19200, not %s\n",
                     qPrintable(parser.value(speed)));
        return 2;
    }
    QString error;
    const int fd = kelm::sim::openUnitLine(args[0], baud, &error);
    if (fd < 0) {
        std::fprintf(stderr, "kelm-unit: cannot open %s: %s\n", qPrintable(args[0]),
                     qPrintable(error));
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelm-unit"));
    QApplication::setApplicationVersion(QStringLiteral(KELM_VERSION));
    kelm::sim::SimUnit unit(fd);
    unit.setStxVariant(parser.isSet(stx));
    kelm::sim::UnitWindow window(unit, args[0]);
    unit.start();
    window.show();
    const int rc = app.exec();
    unit.stop();
    ::close(fd);
    return rc;
}
