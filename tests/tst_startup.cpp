// The start-up: configuration dialog, about box, the main window's controls, start and close.
#include "TestSupport.h"
#include "about/frmAbout.h"
#include "app/Widgets.h"
#include "app/frmKELM.h"
#include "config/Dialog.h"
#include "monitor/V24Mon.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cmath>

using namespace kelm;

namespace {
void click(QWidget *parent, const char *name)
{
    auto *button = parent->findChild<QAbstractButton *>(QLatin1String(name));
    QVERIFY2(button, name);
    button->click();
}

bool checked(QWidget *parent, const char *name)
{
    auto *button = parent->findChild<QAbstractButton *>(QLatin1String(name));
    return button && button->isChecked();
}
} // namespace

namespace {
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
} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("KELM")); }

    void dialogLayout();
    void dialogCancelRestoresAndReopens();
    void dialogSelectsWhatThePortHolds_data();
    void dialogSelectsWhatThePortHolds();
    void dialogDemoLeavesPortClosed();
    void dialogOkWithBadPortShowsErrorAndStays();
    void dialogOkOpensAndQueries();

    void aboutTextsFollowTitleAndVersion();
    void aboutOpensOnceAndCloses();

    void mainWindowControls();
    void mainWindowMenus();
    void startCancelledStaysInDemoMode();
    void startWithDemoLeavesPortClosed();
    void configurationDoesNotBlock();
    void closeClosesPortAndEnds();

    void rememberedSettings_data();
    void rememberedSettings();
    void settingsKeptByOk();
};

void StartupTest::dialogLayout()
{
    MSComm port;
    Dialog d(port, {});
    QCOMPARE(d.windowTitle(), QStringLiteral("Schnittstelle"));
    QCOMPARE(d.size(), QSize(383, 213));
    auto *frame = d.findChild<QGroupBox *>("frmProtokoll");
    QVERIFY(frame);
    QCOMPARE(frame->title(), QStringLiteral("Software IdentNr."));
    QCOMPARE(frame->geometry(), QRect(256, 24, 105, 129));
    auto *com3 = d.findChild<QRadioButton *>("optCOM2");
    QCOMPARE(com3->text(), QStringLiteral("Com 3"));
    QCOMPARE(com3->geometry().topLeft(), QPoint(16, 72));
    QCOMPARE(com3->toolTip(), port.deviceFor(3));
    QCOMPARE(d.findChild<QPushButton *>("CancelButton")->text(), QStringLiteral("Abbrechen"));
    QCOMPARE(d.findChild<QPushButton *>("btnDemo")->geometry(), QRect(264, 176, 89, 25));
}

void StartupTest::dialogCancelRestoresAndReopens()
{
    test::UnitOnLine line;
    MSComm port;
    line.wire(port);
    QVERIFY(port.setPortOpen(true));
    Dialog d(port, {});
    QVERIFY(!port.portOpen());
    QCOMPARE(d.AlterPort, 1);

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

void StartupTest::dialogSelectsWhatThePortHolds_data()
{
    QTest::addColumn<int>("com");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("comOption");
    QTest::addColumn<QString>("baudOption");
    QTest::addColumn<QString>("softwareOption");
    QTest::newRow("defaults") << 1 << "9600,e,8,1"
                              << ""
                              << "optCOM0"
                              << "optBaudrate0"
                              << "optSoftware1";
    QTest::newRow("19200, STX") << 4 << "19200,e,8,1"
                                << "STX"
                                << "optCOM3"
                                << "optBaudrate1"
                                << "optSoftware0";
    QTest::newRow("other setting, other tag") << 2 << "4800,n,8,1"
                                              << "stx"
                                              << "optCOM1"
                                              << "optBaudrate1"
                                              << "optSoftware1";
}

void StartupTest::dialogSelectsWhatThePortHolds()
{
    QFETCH(int, com);
    QFETCH(QString, settings);
    QFETCH(QString, tag);
    QFETCH(QString, comOption);
    QFETCH(QString, baudOption);
    QFETCH(QString, softwareOption);
    MSComm port;
    port.setCommPort(com);
    port.setSettings(settings);
    port.setTag(tag);
    Dialog d(port, {});
    QVERIFY(checked(&d, qPrintable(comOption)));
    QVERIFY(checked(&d, qPrintable(baudOption)));
    QVERIFY(checked(&d, qPrintable(softwareOption)));
}

void StartupTest::dialogDemoLeavesPortClosed()
{
    test::UnitOnLine line;
    MSComm port;
    line.wire(port);
    QVERIFY(port.setPortOpen(true));
    bool demo = false;
    Dialog::Hooks hooks;
    hooks.showDemo = [&] { demo = true; };
    Dialog d(port, hooks);
    d.show();
    click(&d, "btnDemo");
    QVERIFY(demo);
    QVERIFY(!port.portOpen());
    QVERIFY(!d.isVisible());
}

void StartupTest::dialogOkWithBadPortShowsErrorAndStays()
{
    test::ModalWatcher watcher;
    MSComm port;
    port.setDeviceResolver([](int) { return QStringLiteral("/nonexistent/ttyKELM"); });
    bool queried = false;
    Dialog::Hooks hooks;
    hooks.afterOpen = [&] { queried = true; };
    Dialog d(port, hooks);
    d.show();
    click(&d, "OKButton");
    QCOMPARE(watcher.messages.size(), 1);
    QCOMPARE(watcher.messages[0], port.errorString());
    QVERIFY(!watcher.messages[0].isEmpty());
    QVERIFY(d.isVisible());
    QVERIFY(!queried);
    QVERIFY(!port.portOpen());
}

void StartupTest::dialogOkOpensAndQueries()
{
    test::UnitOnLine line;
    MSComm port;
    line.wire(port);
    bool openWhenQueried = false;
    Dialog::Hooks hooks;
    hooks.afterOpen = [&] { openWhenQueried = port.portOpen(); };
    Dialog d(port, hooks);
    d.show();
    click(&d, "OKButton");
    QVERIFY(openWhenQueried);
    QVERIFY(!d.isVisible());
    QCOMPARE(d.result(), int(QDialog::Accepted));
}

void StartupTest::aboutTextsFollowTitleAndVersion()
{
    {
        frmAbout about;
        QCOMPARE(about.windowTitle(), QStringLiteral("Info zu KELM"));
        QCOMPARE(about.findChild<QLabel *>("lblTitle")->text(), QStringLiteral("KELM"));
        QCOMPARE(about.findChild<QLabel *>("lblVersion")->text(), QStringLiteral("Version 4.1.0"));
        QCOMPARE(about.findChild<QLabel *>("Label1")->text(), QStringLiteral("07 Januar 2002"));
        about.setAttribute(Qt::WA_DeleteOnClose, false);
    }
    QApplication::setApplicationName(QStringLiteral("Prüfstand"));
    frmAbout about;
    about.setAttribute(Qt::WA_DeleteOnClose, false);
    QCOMPARE(about.windowTitle(), QStringLiteral("Info zu Prüfstand"));
    QCOMPARE(about.findChild<QLabel *>("lblTitle")->text(), QStringLiteral("Prüfstand"));
    QApplication::setApplicationName(QStringLiteral("KELM"));
}

void StartupTest::aboutOpensOnceAndCloses()
{
    frmKELM main;
    main.setEndTool([] {});
    main.mnuInfo_Click();
    main.mnuInfo_Click();
    auto boxes = main.findChildren<frmAbout *>();
    QCOMPARE(boxes.size(), 1);
    QVERIFY(boxes[0]->isVisible());
    QVERIFY(!boxes[0]->isModal());
    click(boxes[0], "cmdOK");
    QTRY_COMPARE(main.findChildren<frmAbout *>().size(), 0);
}

void StartupTest::mainWindowControls()
{
    frmKELM w;
    w.setEndTool([] {});
    QCOMPARE(w.windowTitle(), QStringLiteral("Morvane KELM"));
    QVERIFY(!w.windowIcon().isNull());
    QCOMPARE(w.centralWidget()->size(), QSize(341, 500));

    auto *line3 = w.findChild<QLineEdit *>("txtDisplay3");
    QCOMPARE(line3->geometry(), QRect(80, 112, 185, 18));
    QCOMPARE(line3->maxLength(), 15);
    QCOMPARE(line3->palette().color(QPalette::Base), QColor(0x8C, 0xBD, 0x9F));
    QVERIFY(line3->font().fixedPitch() || QFontInfo(line3->font()).fixedPitch());

    auto *led5 = w.findChild<Shape *>("shpTaste5");
    QCOMPARE(led5->geometry(), QRect(136, 296, 33, 33));
    QCOMPARE(led5->fillColor(), QColor(0xE0, 0xE0, 0xE0));
    QCOMPARE(led5->tag(), QStringLiteral("false"));
    auto *mark5 = w.findChild<Shape *>("shpTgedrückt5");
    QCOMPARE(mark5->geometry(), QRect(144, 304, 17, 17));
    QVERIFY(!mark5->filled());
    QCOMPARE(mark5->fillColor(), QColor(0xFF, 0, 0));
    auto *target11 = w.findChild<KeyTarget *>("imgTaste11");
    QCOMPARE(target11->geometry(), QRect(216, 336, 33, 33));
    QCOMPARE(target11->toolTip(), QStringLiteral("Click: an/aus  dbl.Click: blinken"));

    // The attribute boxes keep their places and may grow to the right to stay readable.
    for (const char *name : {"chkBlinken", "chkInvers"}) {
        const auto *box = w.findChild<QCheckBox *>(name);
        QCOMPARE(box->geometry().height(), 17);
        QVERIFY(box->width() >= box->sizeHint().width());
        QVERIFY(box->font().pixelSize() >= 12 || box->fontInfo().pixelSize() >= 12);
    }
    QCOMPARE(w.findChild<QCheckBox *>("chkBlinken")->geometry().topLeft(), QPoint(40, 200));
    QCOMPARE(w.findChild<QCheckBox *>("chkInvers")->geometry().topLeft(), QPoint(248, 200));
    // The continuous test's notice, in disabled boxes, stands out from the display's green.
    auto *line1 = w.findChild<QLineEdit *>("txtDisplay1");
    const QPalette pal = line1->palette();
    QVERIFY(contrast(pal.color(QPalette::Disabled, QPalette::Text),
                     pal.color(QPalette::Disabled, QPalette::Base)) >= 4.5);
    // Sixteen characters fill the line, within its height.
    const QFontMetricsF metrics(line1->font());
    QVERIFY(metrics.horizontalAdvance(QString(16, QLatin1Char('M'))) > 185 * 0.9);
    QVERIFY(metrics.horizontalAdvance(QString(16, QLatin1Char('M'))) <= 185 - 4);
    QVERIFY(metrics.height() <= 18);
    QCOMPARE(w.findChild<QCheckBox *>("chkInvers")->text(), QStringLiteral("invers"));
    QCOMPARE(w.findChild<QLabel *>("lblWS1")->text(), QStringLiteral("0"));
    QCOMPARE(w.findChild<QLabel *>("lblWS2")->geometry().topLeft(), QPoint(224, 376));
    auto *demo = w.findChild<QLabel *>("lblDemo");
    QCOMPARE(demo->text(), QStringLiteral("KELM DEMO-Modus"));
    QVERIFY(!demo->isHidden());
    auto *timer = w.findChild<QTimer *>("Timer1");
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 567);
    QCOMPARE(int(w.link().LinkStatus), 0);
    QCOMPARE(w.device().QuittungsCode, std::int16_t(0));

    // The picture is a drawn front, not a plain background.
    const QImage picture = w.centralWidget()->grab().toImage();
    QVERIFY(picture.pixelColor(170, 120) != picture.pixelColor(5, 250));
}

void StartupTest::mainWindowMenus()
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
    const QStringList expected{"Datei",       "  Info KELM",  "  Beenden",      "Funktionen",
                               "  Dauertest", "  Reset KELM", "Schnittstelle",  "  Konfiguraion",
                               "Monitor",     "  Ein/Aus",    "  Mitschnitt..."};
    QCOMPARE(captions, expected);
}

void StartupTest::startCancelledStaysInDemoMode()
{
    test::UnitOnLine line;
    test::ModalWatcher watcher;
    frmKELM w;
    w.setEndTool([] {});
    line.wire(w.MSComm1());
    watcher.dialogActions.push_back([](QWidget *d) { click(d, "CancelButton"); });
    w.Form_Load();
    QVERIFY(w.demoMode());
    QCOMPARE(int(w.link().LinkStatus), 1);
    QVERIFY(w.MSComm1().portOpen());
    QVERIFY(watcher.messages.isEmpty());
    QTest::qWait(100);
    // No status query, no reset: nothing went out.
    QVERIFY(line.unit->bytesFromTool().empty());
}

void StartupTest::startWithDemoLeavesPortClosed()
{
    test::ModalWatcher watcher;
    frmKELM w;
    w.setEndTool([] {});
    watcher.dialogActions.push_back([](QWidget *d) { click(d, "btnDemo"); });
    w.Form_Load();
    QVERIFY(w.demoMode());
    QVERIFY(!w.MSComm1().portOpen());
}

void StartupTest::configurationDoesNotBlock()
{
    frmKELM w;
    w.setEndTool([] {});
    w.show();
    w.findChild<QAction *>("mnuKonfig")->trigger();
    QPointer<Dialog> d = w.configDialog();
    QVERIFY(d);
    QVERIFY(d->isVisible());
    QVERIFY(!d->isModal());
    QVERIFY(!QApplication::activeModalWidget());
    w.mnuKonfig_Click(); // a second choice brings the same dialog forward
    QCOMPARE(w.configDialog().data(), d.data());
    click(d, "btnDemo");
    QTRY_VERIFY(!d); // released when closed
}

void StartupTest::closeClosesPortAndEnds()
{
    test::UnitOnLine line;
    int ended = 0;
    {
        frmKELM w;
        w.setEndTool([&] { ++ended; });
        w.show();
        w.findChild<QAction *>("mnuBeenden")->trigger();
        QCOMPARE(ended, 1);
        QVERIFY(!w.MSComm1().portOpen());
    }
    frmKELM w;
    w.setEndTool([&] { ++ended; });
    line.wire(w.MSComm1());
    QVERIFY(w.MSComm1().setPortOpen(true));
    w.show();
    w.mnuMonitorEA_Click();
    QVERIFY(w.close());
    QCOMPARE(ended, 2);
    QVERIFY(!w.MSComm1().portOpen());
    QVERIFY(!w.V24Monitor().isVisible());
}

void StartupTest::rememberedSettings_data()
{
    QTest::addColumn<QByteArray>("conf");
    QTest::addColumn<int>("com");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QPoint>("mainAt"); // (-1, -1): not moved
    QTest::addColumn<bool>("ascii");
    const QPoint stay(-1, -1);
    QTest::newRow("none") << QByteArray() << 1 << "9600,e,8,1"
                          << "" << stay << true;
    QTest::newRow("remembered") << QByteArray(
                                       "[Line]\nCom=3\nSettings=\"19200,e,8,1\"\nVariant=STX\n"
                                       "[Windows]\nMain=@Point(100 120)\n[Monitor]\nView=HEX\n")
                                << 3 << "19200,e,8,1"
                                << "STX" << QPoint(100, 120) << false;
    QTest::newRow("out of range") << QByteArray(
                                         "[Line]\nCom=9\nSettings=fast\nVariant=maybe\n"
                                         "[Windows]\nMain=@Point(5000 5000)\n[Monitor]\nView=3\n")
                                  << 1 << "9600,e,8,1"
                                  << "" << stay << true;
    QTest::newRow("nonsense") << QByteArray("\x01\x02[[[\n=\n\xff\xfe") << 1 << "9600,e,8,1"
                              << "" << stay << true;
    QTest::newRow("unreadable") << QByteArray("a directory") << 1 << "9600,e,8,1"
                                << "" << stay << true;
}

// What a start finds in kelm.conf: values in range are used, anything else leaves the start
// values, and a file that cannot be read is passed over.
void StartupTest::rememberedSettings()
{
    QFETCH(QByteArray, conf);
    QFETCH(int, com);
    QFETCH(QString, settings);
    QFETCH(QString, tag);
    QFETCH(QPoint, mainAt);
    QFETCH(bool, ascii);
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QVERIFY(QDir(home.path()).mkpath("kelm"));
    const QString path = home.filePath("kelm/kelm.conf");
    if (conf == "a directory") {
        QVERIFY(QDir().mkpath(path));
    } else if (!conf.isEmpty()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(conf);
    }
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
    // The dialog shows what the port holds.
    Dialog d(w.MSComm1(), {});
    QVERIFY(checked(&d, qPrintable(QStringLiteral("optCOM%1").arg(com - 1))));
    QVERIFY(checked(&d, settings.startsWith("19200") ? "optBaudrate1" : "optBaudrate0"));
    QVERIFY(checked(&d, tag == "STX" ? "optSoftware0" : "optSoftware1"));
    qunsetenv("XDG_CONFIG_HOME");
}

// A successful OK keeps port, speed and variant; positions and the view are kept on closing.
void StartupTest::settingsKeptByOk()
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
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
    qunsetenv("XDG_CONFIG_HOME");
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
