// kelm-demo: the tool and the simulated unit together, wired through a pseudo-terminal pair.
// The tool's COM 1 is the pair's slave side; the unit answers on the master side from its own
// thread. Closing the tool's window ends both.
#include "app/Widgets.h"
#include "app/frmKELM.h"
#include "config/Dialog.h"
#include "sim/PtyPair.h"
#include "sim/SimUnit.h"
#include "sim/UnitWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <cstdio>

namespace {

// Presses OK in the start-up dialog as soon as it is up.
void answerDialogWithOk()
{
    auto *timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [timer] {
        auto *dialog = qobject_cast<kelm::Dialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer->stop();
        timer->deleteLater();
        QTimer::singleShot(0, dialog, [dialog] {
            dialog->findChild<QAbstractButton *>(QStringLiteral("OKButton"))->click();
        });
    });
    timer->start(20);
}

void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

// A few operations on both sides, then both windows side by side in one picture.
bool screenshot(kelm::frmKELM &tool, kelm::sim::UnitWindow &unit, const QString &path)
{
    tool.imgTaste_Click(1);
    tool.imgTaste_Click(2);
    tool.imgTaste_DblClick(6);
    auto *line = tool.findChild<QLineEdit *>(QStringLiteral("txtDisplay0"));
    line->setText(QStringLiteral("Hallo KELM"));
    line->setFocus();
    QTest::keyClick(line, Qt::Key_Return);
    auto *line3 = tool.findChild<QLineEdit *>(QStringLiteral("txtDisplay3"));
    line3->setText(QStringLiteral("Pruefstand 4"));
    tool.findChild<QAbstractButton *>(QStringLiteral("chkInvers"))->click();
    QTest::keyClick(line3, Qt::Key_Return);
    unit.selector(1)->setValue(5);
    unit.selector(2)->setValue(9);
    unit.keyButton(10)->setDown(true);
    emit unit.keyButton(10)->pressed();
    settle(800);
    const QImage left = tool.grab().toImage();
    const QImage right = unit.grab().toImage();
    QImage both(left.width() + right.width() + 16, std::max(left.height(), right.height()),
                QImage::Format_RGB32);
    both.fill(QColor(230, 230, 230));
    QPainter p(&both);
    p.drawImage(0, 0, left);
    p.drawImage(left.width() + 16, 0, right);
    p.end();
    return both.save(path);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    kelm::setUpApplication();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Starts the KELM tool and a simulated unit, wired through a pseudo-terminal pair: choose "
        "Com 1 in the tool's dialog."));
    parser.addHelpOption();
    QCommandLineOption stx(QStringLiteral("stx"),
                           QStringLiteral("The unit's block check covers STX."));
    QCommandLineOption ok(QStringLiteral("ok"), QStringLiteral("Press OK in the start-up dialog."));
    QCommandLineOption quitAfter(QStringLiteral("quit-after"),
                                 QStringLiteral("Close the tool's window after ms."),
                                 QStringLiteral("ms"));
    QCommandLineOption shot(QStringLiteral("screenshot"),
                            QStringLiteral("Do a few operations, save both windows to file, end."),
                            QStringLiteral("file"));
    parser.addOptions({stx, ok, quitAfter, shot});
    parser.process(app);

    kelm::sim::PtyPair pty;
    if (!pty.isValid()) {
        std::fprintf(stderr, "kelm-demo: cannot make a pseudo-terminal pair\n");
        return 1;
    }
    kelm::sim::SimUnit unit(pty.master());
    unit.setStxVariant(parser.isSet(stx));
    kelm::sim::UnitWindow unitWindow(unit, QString::fromStdString(pty.slavePath()));
    unit.start();

    int rc = 0;
    {
        kelm::frmKELM tool;
        const QString line = QString::fromStdString(pty.slavePath());
        tool.MSComm1().setDeviceResolver(
            [line](int n) { return n == 1 ? line : kelm::defaultComDevice(n); });
        if (parser.isSet(stx))
            tool.MSComm1().setTag(QStringLiteral("STX"));
        tool.setEndTool([] { QCoreApplication::quit(); });
        unitWindow.move(420, 40);
        unitWindow.show();
        if (parser.isSet(ok) || parser.isSet(shot))
            answerDialogWithOk();
        tool.Form_Load();
        tool.move(40, 40);
        tool.show();
        if (parser.isSet(shot)) {
            rc = screenshot(tool, unitWindow, parser.value(shot)) ? 0 : 1;
            tool.close();
        } else {
            if (parser.isSet(quitAfter))
                QTimer::singleShot(parser.value(quitAfter).toInt(), &tool,
                                   [&tool] { tool.close(); });
            rc = app.exec();
        }
    }
    unit.stop();
    return rc;
}
