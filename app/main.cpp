#include "app/Widgets.h"
#include "app/frmKELM.h"
#include "station/TerminationSignals.h"

#include <QApplication>
#include <csignal>
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // As every Linux program does; the tool takes no other options, and anything else starts it
    // as always. Answered before a display is needed.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("Usage: kelm [--help | --version]\n"
                    "Demonstrates and tests the KELM operator unit on a serial line.\n"
                    "See kelm(1), kelm-check(1) and kelm-unit(1).\n");
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-v") == 0)) {
        std::printf("kelm %s\n", KELM_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    kelm::setUpApplication();

    kelm::frmKELM window;
    // A logout or a kill ends the tool as "Beenden" does: port released, journal complete,
    // window places remembered.
    kelm::TerminationSignals endSignals({SIGINT, SIGTERM, SIGHUP});
    QObject::connect(&endSignals, &kelm::TerminationSignals::caught, &window,
                     [&window] { window.close(); });
    window.Form_Load();
    window.show();
    return app.exec();
}
