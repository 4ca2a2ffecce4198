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
#include <cmath>

using namespace kelm;

namespace {
void click(QWidget *parent, const char *name)
{
    auto *button = parent->findChild<QAbstractButton *>(QLatin1String(name));
    QVERIFY2(button, name);
    button->click();
}

bool checked(QWidget *parent, const QString &name)
{
    auto *button = parent->findChild<QAbstractButton *>(name);
    return button && button->isChecked();
}

// Contrast ratio of two colours by their relative luminance (WCAG).
double contrast(const QColor &a, const QColor &b)
{
    auto luminance = [](const QColor &c) {
        auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A kelm.conf of the test's own for the window made in `run`.
void withSettings(const QByteArray &conf, const std::function<void()> &run)
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QDir(home.path()).mkpath("kelm");
    const QString path = home.filePath("kelm/kelm.conf");
    if (conf == "a directory") {
        QDir().mkpath(path);
    } else if (!conf.isEmpty()) {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(conf);
    }
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
        click(&d, "optCOM1");
        click(&d, "optBaudrate1");
        click(&d, "optSoftware0");
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

    void aboutBox()
    {
        frmKELM main;
        main.setEndTool([] {});
        main.mnuInfo_Click();
        main.mnuInfo_Click();
        auto boxes = main.findChildren<frmAbout *>();
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes[0]->isVisible() && !boxes[0]->isModal());
        QCOMPARE(boxes[0]->windowTitle(), QStringLiteral("Info zu KELM"));
        QCOMPARE(boxes[0]->findChild<QLabel *>("lblVersion")->text(),
                 QStringLiteral("Version 4.1.0"));
        click(boxes[0], "cmdOK");
        QTRY_COMPARE(main.findChildren<frmAbout *>().size(), 0);
    }

    void mainWindow()
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
        // The continuous test's notice, in disabled boxes, stands out from the display's green,
        // and sixteen characters fill a line within its height.
        auto *line = w.findChild<QLineEdit *>("txtDisplay1");
        const QPalette pal = line->palette();
        QVERIFY(contrast(pal.color(QPalette::Disabled, QPalette::Text),
                         pal.color(QPalette::Disabled, QPalette::Base)) >= 4.5);
        const QFontMetricsF metrics(line->font());
        const double sixteen = metrics.horizontalAdvance(QString(16, QLatin1Char('M')));
        QVERIFY(sixteen > line->width() * 0.9 && sixteen <= line->width() - 4);
        QVERIFY(metrics.height() <= line->height());
    }

    void startCancelledStaysInDemoMode()
    {
        test::UnitOnLine line;
        test::ModalWatcher watcher;
        frmKELM w;
        w.setEndTool([] {});
        line.wire(w.MSComm1());
        watcher.dialogActions.push_back([](QWidget *d) { click(d, "CancelButton"); });
        w.Form_Load();
        QVERIFY(w.demoMode() && w.MSComm1().portOpen() && watcher.messages.isEmpty());
        QCOMPARE(int(w.link().LinkStatus), 1);
        QTest::qWait(100);
        QVERIFY(line.unit->bytesFromTool().empty()); // no status query, no reset
    }

    void startWithDemoLeavesPortClosed()
    {
        test::ModalWatcher watcher;
        frmKELM w;
        w.setEndTool([] {});
        watcher.dialogActions.push_back([](QWidget *d) { click(d, "btnDemo"); });
        w.Form_Load();
        QVERIFY(w.demoMode() && !w.MSComm1().portOpen());
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
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QPoint>("mainAt"); // (-1, -1): not moved
        QTest::addColumn<bool>("ascii");
        const QPoint stay(-1, -1);
        const QString start("9600,e,8,1");
        QTest::newRow("none") << QByteArray() << 1 << start << "" << stay << true;
        QTest::newRow("remembered")
            << QByteArray("[Line]\nCom=3\nSettings=\"19200,e,8,1\"\nVariant=STX\n"
                          "[Windows]\nMain=@Point(100 120)\n[Monitor]\nView=HEX\n")
            << 3 << "19200,e,8,1"
            << "STX" << QPoint(100, 120) << false;
        QTest::newRow("out of range")
            << QByteArray("[Line]\nCom=9\nSettings=fast\nVariant=maybe\n"
                          "[Windows]\nMain=@Point(5000 5000)\n[Monitor]\nView=3\n")
            << 1 << start << "" << stay << true;
        QTest::newRow("nonsense") << QByteArray("\x01\x02[[[\n=\n\xff\xfe") << 1 << start << ""
                                  << stay << true;
        QTest::newRow("unreadable")
            << QByteArray("a directory") << 1 << start << "" << stay << true;
    }

    // Values in range are used, anything else leaves the start values, and a file that cannot
    // be read is passed over; the dialog shows what the port holds.
    void rememberedSettings()
    {
        QFETCH(QByteArray, conf);
        QFETCH(int, com);
        QFETCH(QString, settings);
        QFETCH(QString, tag);
        QFETCH(QPoint, mainAt);
        QFETCH(bool, ascii);
        withSettings(conf, [&] {
            frmKELM w;
            w.setEndTool([] {});
            QCOMPARE(w.MSComm1().commPortNumber(), com);
            QCOMPARE(w.MSComm1().settings(), settings);
            QCOMPARE(w.MSComm1().tag(), tag);
            if (mainAt != QPoint(-1, -1))
                QCOMPARE(w.pos(), mainAt);
            else
                QVERIFY(w.pos().x() < 1000 && w.pos().y() < 1000);
            QCOMPARE(w.V24Monitor().showAscii(), ascii);
            Dialog d(w.MSComm1(), {});
            QVERIFY(checked(&d, QStringLiteral("optCOM%1").arg(com - 1)));
            QVERIFY(checked(&d, settings.startsWith("19200") ? "optBaudrate1" : "optBaudrate0"));
            QVERIFY(checked(&d, tag == "STX" ? "optSoftware0" : "optSoftware1"));
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
                click(&d, "optBaudrate1");
                click(&d, "optSoftware0");
                click(&d, "OKButton");
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
