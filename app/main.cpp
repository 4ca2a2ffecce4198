#include "app/Widgets.h"
#include "app/frmKELM.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    kelm::setUpApplication();

    kelm::frmKELM window;
    window.Form_Load();
    window.show();
    return app.exec();
}
