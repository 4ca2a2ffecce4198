#include "app/Widgets.h"
#include "app/frmKELM.h"
#include "station/TerminationSignals.h"

#include <QApplication>
#include <csignal>

int main(int argc, char *argv[])
{
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
