// The start-up: configuration dialog, about box, the main window's menus, remembered settings,
// start and close.
#include "TestSupport.h"
#include "about/frmAbout.h"
#include "app/frmKELM.h"
#include "config/Dialog.h"
#include "monitor/V24Mon.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>

using namespace kelm;

namespace {
void click(QWidget *parent, const QString &name)
{
    auto *button = parent->findChild<QAbstractButton *>(name);
    QVERIFY2(button, qPrintable(name));
    button->click();
}

bool checked(QWidget *parent, const QString &name)
{
    auto *button = parent->findChild<QAbstractButton *>(name);
    return button && button->isChecked();
}

// Runs `run` with a kelm.conf of the test's own holding `conf`.
void withSettings(const QByteArray &conf, const std::function<void()> &run)
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QDir(home.path()).mkpath("kelm");
    const QString path = home.filePath("kelm/kelm.conf");
    QFile f(path);
    if (conf == "a directory")
        QDir().mkpath(path);
    else if (f.open(QIODevice::WriteOnly))
        f.write(conf);
    f.close();
    run();
    qunsetenv("XDG_CONFIG_HOME");
}
} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("KELM")); }

    void dialogCancelRestoresAndReopens()
    {
        test::UnitOnLine line;
        MSComm port;
        line.wire(port);
        QVERIFY(port.setPortOpen(true));
        Dialog d(port, {});
        QVERIFY(!port.portOpen());
        for (const char *option : {"optCOM1", "optBaudrate1", "optSoftware0"})
            click(&d, option);
        QCOMPARE(port.commPortNumber(), 2);
        QCOMPARE(port.settings(), QStringLiteral("19200,e,8,1"));
        QCOMPARE(port.tag(), QStringLiteral("STX"));
        click(&d, "CancelButton");
        QCOMPARE(port.commPortNumber(), 1);
        QCOMPARE(port.settings(), QStringLiteral("9600,e,8,1"));
        QCOMPARE(port.tag(), QString());
        QVERIFY(port.portOpen());
        QCOMPARE(port.appliedSettings().baud, 9600);
    }

    void dialogOkWithBadPortShowsErrorAndStays()
    {
        test::ModalWatcher watcher;
        MSComm port;
        port.setDeviceResolver([](int) { return QStringLiteral("/nonexistent/ttyKELM"); });
        bool queried = false;
        Dialog d(port, {.afterOpen = [&] { queried = true; }, .showDemo = {}});
        d.show();
        click(&d, "OKButton");
        QCOMPARE(watcher.messages,
                 QStringList{"Com 1 (/nonexistent/ttyKELM): No such file or directory"});
        QVERIFY(d.isVisible() && !queried && !port.portOpen());
    }

    void menusAndAboutBox()
    {
        frmKELM w;
        w.setEndTool([] {});
        QStringList captions;
        for (QAction *menu : w.menuBar()->actions()) {
            captions << menu->text();
            for (QAction *entry : menu->menu()->actions()) {
                captions << "  " + entry->text();
                QVERIFY(entry->isEnabled() && entry->isVisible() && !entry->isChecked());
            }
        }
        const QStringList expected{"Datei",         "  Info KELM",    "  Beenden",
                                   "Funktionen",    "  Dauertest",    "  Reset KELM",
                                   "Schnittstelle", "  Konfiguraion", "Monitor",
                                   "  Ein/Aus",     "  Mitschnitt..."};
        QCOMPARE(captions, expected);
        QVERIFY(!w.findChild<QLabel *>("lblDemo")->isHidden());
        // Sixteen characters fill a display line, within its height.
        auto *line = w.findChild<QLineEdit *>("txtDisplay1");
        const QFontMetricsF metrics(line->font());
        const double sixteen = metrics.horizontalAdvance(QString(16, QLatin1Char('M')));
        QVERIFY(sixteen > line->width() * 0.9 && sixteen <= line->width() - 4);
        QVERIFY(metrics.height() <= line->height());
        w.mnuInfo_Click();
        w.mnuInfo_Click();
        auto boxes = w.findChildren<frmAbout *>();
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes[0]->isVisible() && !boxes[0]->isModal());
        QCOMPARE(boxes[0]->windowTitle(), QStringLiteral("Info zu KELM"));
        QCOMPARE(boxes[0]->findChild<QLabel *>("lblVersion")->text(), "Version 4.1.0");
        click(boxes[0], "cmdOK");
        QTRY_COMPARE(w.findChildren<frmAbout *>().size(), 0);
    }

    void startWithoutUnit_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("portOpen");
        QTest::newRow("Abbrechen") << "CancelButton" << true;
        QTest::newRow("Demo") << "btnDemo" << false;
    }

    // Either way the tool is in demonstration mode: no status query, no reset.
    void startWithoutUnit()
    {
        QFETCH(QString, button);
        QFETCH(bool, portOpen);
        test::UnitOnLine line;
        test::ModalWatcher watcher;
        frmKELM w;
        w.setEndTool([] {});
        line.wire(w.MSComm1());
        watcher.dialogActions.push_back([button](QWidget *d) { click(d, button); });
        w.Form_Load();
        QVERIFY(w.demoMode() && watcher.messages.isEmpty());
        QCOMPARE(w.MSComm1().portOpen(), portOpen);
        QCOMPARE(int(w.link().LinkStatus), 1);
        QTest::qWait(100);
        QVERIFY(line.unit->bytesFromTool().empty());
    }

    void configurationDoesNotBlock()
    {
        frmKELM w;
        w.setEndTool([] {});
        w.show();
        w.findChild<QAction *>("mnuKonfig")->trigger();
        QPointer<Dialog> d = w.configDialog();
        QVERIFY(d && d->isVisible() && !d->isModal() && !QApplication::activeModalWidget());
        w.mnuKonfig_Click(); // a second choice brings the same dialog forward
        QCOMPARE(w.configDialog().data(), d.data());
        click(d, "btnDemo");
        QTRY_VERIFY(!d); // released when closed
    }

    void closeClosesPortAndEnds()
    {
        test::UnitOnLine line;
        int ended = 0;
        frmKELM w;
        w.setEndTool([&] { ++ended; });
        line.wire(w.MSComm1());
        QVERIFY(w.MSComm1().setPortOpen(true));
        w.show();
        w.mnuMonitorEA_Click();
        w.findChild<QAction *>("mnuBeenden")->trigger();
        QCOMPARE(ended, 1);
        QVERIFY(!w.MSComm1().portOpen() && !w.V24Monitor().isVisible());
    }

    void rememberedSettings_data()
    {
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<int>("com");
        QTest::addColumn<int>("baud");
        QTest::addColumn<bool>("stx");
        QTest::addColumn<QPoint>("mainAt"); // (-1, -1): not moved
        QTest::addColumn<bool>("ascii");
        const QPoint stay(-1, -1);
        QTest::newRow("remembered")
            << QByteArray("[Line]\nCom=3\nSettings=\"19200,e,8,1\"\nVariant=STX\n"
                          "[Windows]\nMain=@Point(100 120)\n[Monitor]\nView=HEX\n")
            << 3 << 19200 << true << QPoint(100, 120) << false;
        QTest::newRow("out of range")
            << QByteArray("[Line]\nCom=9\nSettings=fast\nVariant=maybe\n"
                          "[Windows]\nMain=@Point(5000 5000)\n[Monitor]\nView=3\n")
            << 1 << 9600 << false << stay << true;
        QTest::newRow("nonsense") << QByteArray("\x01\x02[[[\n=\n\xff\xfe") << 1 << 9600 << false
                                  << stay << true;
        QTest::newRow("unreadable")
            << QByteArray("a directory") << 1 << 9600 << false << stay << true;
    }

    // Values in range are used, anything else leaves the start values, and a file that cannot
    // be read is passed over; the dialog shows what the port holds.
    void rememberedSettings()
    {
        QFETCH(QByteArray, conf);
        QFETCH(int, com);
        QFETCH(int, baud);
        QFETCH(bool, stx);
        QFETCH(QPoint, mainAt);
        QFETCH(bool, ascii);
        withSettings(conf, [&] {
            frmKELM w;
            w.setEndTool([] {});
            QCOMPARE(w.MSComm1().commPortNumber(), com);
            QCOMPARE(w.MSComm1().settings(), QStringLiteral("%1,e,8,1").arg(baud));
            QCOMPARE(w.MSComm1().tag(), stx ? QStringLiteral("STX") : QString());
            QVERIFY(mainAt == QPoint(-1, -1) ? w.pos().x() < 1000 && w.pos().y() < 1000
                                             : w.pos() == mainAt);
            QCOMPARE(w.V24Monitor().showAscii(), ascii);
            Dialog d(w.MSComm1(), {});
            QVERIFY(checked(&d, QStringLiteral("optCOM%1").arg(com - 1)));
            QVERIFY(checked(&d, QStringLiteral("optBaudrate%1").arg(baud == 19200)));
            QVERIFY(checked(&d, QStringLiteral("optSoftware%1").arg(!stx)));
        });
    }

    // A successful OK keeps port, speed and variant; positions and the view are kept on closing.
    void settingsKeptByOk()
    {
        withSettings({}, [] {
            test::UnitOnLine line;
            {
                MSComm port;
                line.wire(port);
                Dialog d(port, {});
                for (const char *button : {"optBaudrate1", "optSoftware0", "OKButton"})
                    click(&d, button);
                QVERIFY(port.portOpen());
            }
            {
                frmKELM w;
                w.setEndTool([] {});
                QCOMPARE(w.MSComm1().settings(), QStringLiteral("19200,e,8,1"));
                QCOMPARE(w.MSComm1().tag(), QStringLiteral("STX"));
                w.show();
                w.move(50, 60);
                w.V24Monitor().mnuShowHex_Click();
                w.close();
            }
            frmKELM again;
            again.setEndTool([] {});
            QCOMPARE(again.pos(), QPoint(50, 60));
            QVERIFY(!again.V24Monitor().showAscii());
        });
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
