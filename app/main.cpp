#include "app/Widgets.h"
#include "app/frmKELM.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KELM"));
    QApplication::setApplicationVersion(QStringLiteral(KELM_VERSION));
    QApplication::setWindowIcon(kelm::kelmIcon());
    QApplication::setQuitOnLastWindowClosed(false);

    kelm::frmKELM window;
    window.Form_Load();
    window.show();
    return app.exec();
}
