// The operator's screen against the simulated unit, through the real main window: start-up
// detection, keys, display lines, reset, demonstration mode and the continuous test; the
// configuration dialog, menus and about box, remembered settings, start and close.
#include "ToolOnLine.h"
#include "about/frmAbout.h"
#include "config/Dialog.h"
#include "config/Remembered.h"
#include "device/KELM.h"
#include "device/Telegramme.h"
#include "link/Settings.h"
#include "monitor/V24Mon.h"

#include <QBitArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextCursor>
#include <QTimer>
#include <ctime>
#include <grp.h>
#include <thread>
#include <unistd.h>

using namespace kelm;
using sim::Bytes;
using Telegrams = std::vector<Bytes>;
using sim::Led;
using test::bytes;
using test::click;
using test::ToolOnLine;

namespace {
const Bytes kClear{0x6C, 0x2B};
const Bytes kAllOff{0x40};
const Bytes kQuery{0x23};

void enterLine(ToolOnLine &tool, int n, const QString &text)
{
    tool.displayLine(n)->setFocus();
    QTest::keyClicks(tool.displayLine(n), text);
    QTest::keyClick(tool.displayLine(n), Qt::Key_Return);
}
// How a box aligns its text across: whether it is also centred vertically is the style's.
Qt::Alignment horizontally(const QLineEdit *box)
{
    return box->alignment() & Qt::AlignHorizontal_Mask;
}
const auto isChar = [](const Bytes &t) { return t.size() == 7 && t[0] == 0x6C && t[1] == 0x27; };

Telegrams chars(const Telegrams &all)
{
    Telegrams out;
    std::ranges::copy_if(all, std::back_inserter(out), isChar);
    return out;
}

// Unticks the menu entry, as the operator's click would, once pred holds.
void stopWhen(ToolOnLine &tool, std::function<bool()> pred)
{
    auto *timer = new QTimer(&tool.window);
    QObject::connect(timer, &QTimer::timeout, timer, [&tool, timer, pred] {
        if (!pred())
            return;
        timer->stop();
        timer->deleteLater();
        tool.menu("mnuDauertest")->trigger(); // the nested click
    });
    timer->start(5);
}

// The pressed marks and the two selectors the window shows, as "pressed 2 7 | 1 12".
QString reportsShown(const QWidget &w)
{
    QString shown = QStringLiteral("pressed");
    for (int k = 0; k < 12; ++k)
        if (w.findChild<Shape *>(QStringLiteral("shpTgedrückt%1").arg(k))->filled())
            shown += ' ' + QString::number(k);
    return shown + " | " + w.findChild<QLabel *>("lblWS1")->text() + ' ' +
           w.findChild<QLabel *>("lblWS2")->text();
}

// Every widget shown lies whole inside its parent: a window made too small would cut it off.
void allInside(QWidget *window)
{
    for (QWidget *child : window->findChildren<QWidget *>())
        if (!child->isWindow() && child->isVisibleTo(window))
            QVERIFY2(child->parentWidget()->rect().contains(child->geometry()),
                     qPrintable(window->objectName() + ": " + child->objectName()));
}

// A window's size and where each of its named parts (or its central part's) stands, as
// "Window.part x,y w×h". A check box grows to its caption: its width is the font's, left out.
QStringList layoutOf(const QWidget *window)
{
    QStringList out;
    if (window->isWindow())
        out << window->objectName() +
                   QString::asprintf(" %dx%d", window->width(), window->height());
    for (const QWidget *child : window->findChildren<QWidget *>()) {
        const QString name = child->objectName();
        if (child->window() != window->window() || name.isEmpty() || name.startsWith("qt_"))
            continue;
        const QRect r = child->geometry();
        const QString part = window->window()->objectName() + '.' + name + ' ';
        const QString width =
            qobject_cast<const QCheckBox *>(child) ? "*" : QString::number(r.width());
        out << part + QString::asprintf("%d,%d %sx%d", r.x(), r.y(), qPrintable(width), r.height());
        // Where a text box's first line begins: its margins, which no font moves.
        if (auto *text = qobject_cast<const QPlainTextEdit *>(child)) {
            const QPoint at = text->cursorRect(QTextCursor(text->document())).topLeft();
            out << part + QString::asprintf("text at %d,%d", at.x(), at.y());
        }
        // Where a line edit's text starts, by the empty line's cursor (a rectangle Qt widens to
        // either side), which no font moves; how high it stands depends on the font.
        if (auto *line = qobject_cast<const QLineEdit *>(child))
            out << part + QString::asprintf(
                              "text from %d",
                              line->inputMethodQuery(Qt::ImCursorRectangle).toRect().x());
    }
    return out;
}

// Lines against the record of that name kept beside the tests; KELM_WRITE_PICTURES=1 writes the
// record anew after a change meant to be seen.
void matchesKept(const QString &name, const QStringList &lines)
{
    const QString kept = QStringLiteral(KELM_TEST_PICTURES "/") + name;
    if (qgetenv("KELM_WRITE_PICTURES") == "1")
        QVERIFY(test::writeFile(kept, lines.join('\n').toUtf8() + '\n'));
    QVERIFY2(QFile::exists(kept), qPrintable("no kept record at " + kept));
    const QStringList want = QString::fromUtf8(test::readFile(kept)).split('\n');
    for (int i = 0; i < std::max(want.size() - 1, lines.size()); ++i)
        QCOMPARE(lines.value(i), want.value(i));
}

// Counts the changes of a window's place in the stacking order, which the offscreen platform has
// none of: Qt's notice of each stands for it.
struct Raises : QObject
{
    explicit Raises(QWidget *window) { window->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        count += e->type() == QEvent::ZOrderChange;
        return false;
    }
    int count = 0;
};

// This program again, running only `function` in a process of its own with `vars` added to its
// environment: for what a process does once. Whether it passed.
bool runAlone(QProcess &child, const QString &function,
              std::initializer_list<std::pair<QString, QString>> vars)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &[name, value] : vars)
        if (!value.isNull()) // null: as this process has it
            env.insert(name, value);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {function});
    return child.waitForFinished(60000) && child.exitStatus() == QProcess::NormalExit &&
           child.exitCode() == 0;
}

// Runs `run` with a kelm.conf of the test's own holding `conf`.
void withSettings(const QByteArray &conf, const std::function<void()> &run)
{
    QTemporaryDir home;
    const test::ScopedEnv config("XDG_CONFIG_HOME", home.path().toLocal8Bit()),
        state("XDG_STATE_HOME", home.filePath("state").toLocal8Bit());
    const QString path = home.filePath("kelm/kelm.conf");
    QVERIFY(conf == "a directory" ? QDir().mkpath(path) : test::writeFile(path, conf));
    run();
}
} // namespace

class DeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("KELM")); }
    // Painting on a picture that is not there is a fault even where nothing shows it.
    void init() { QTest::failOnWarning(QRegularExpression("^QPainter")); }

    void telegrams()
    {
        QCOMPARE(Telegramm::displayLine(1, " *", false, true),
                 bytes({0x6C, 0x43, 0x40, 0x27, 0x31, 0x30, 0x80, 0x8A, 0x29}));
        const QByteArray head = bytes({0x6C, 0x43, 0x41, 0x27, 0x30, 0x30});
        // 13 characters close with 0x29; 14 and 15 go without it.
        for (int n : {13, 14, 15})
            QCOMPARE(Telegramm::displayLine(0, QString(n, 'x'), false, false),
                     head + QByteArray(n, char(0xD8)) + (n == 13 ? bytes({0x29}) : QByteArray()));
        // Codes up to 0x9F still fit one byte; above that they go as "*" and never wrap.
        QCOMPARE(
            Telegramm::displayLine(0, QStringLiteral("\u007f\u009f\u00e4\u20ac"), false, false),
            head + bytes({0xDF, 0xFF, 0x8A, 0x8A, 0x29}));
    }

    // The unit's key, selector and acknowledgement reports on the main window.
    void reports_data()
    {
        QTest::addColumn<QByteArray>("codes");
        QTest::addColumn<char>("ack");      // the acknowledgement's byte
        QTest::addColumn<QString>("shown"); // and the acknowledgement code kept
        QTest::newRow("key 3") << bytes({0x33}) << '1' << "pressed 2 | 0 0 ack 1";
        QTest::newRow("key 12, twice")
            << bytes({0x35, 0x3C, 0x3C}) << '0' << "pressed 11 | 0 0 ack 0";
        QTest::newRow("released") << bytes({0x33, 0x35, 0x30}) << char(0x10)
                                  << "pressed | 0 0 ack -32";
        QTest::newRow("selectors") << bytes({0x41, 0x5C}) << '1' << "pressed | 1 12 ack 1";
        QTest::newRow("selector 1 at 12") << bytes({0x4C}) << '1' << "pressed | 12 0 ack 1";
        QTest::newRow("other codes")
            << bytes({0x00, 0x3D, 0x40, 0x4D, 0x50, 0x5D, 0xFF}) << '1' << "pressed | 0 0 ack 1";
    }

    void reports()
    {
        QFETCH(QByteArray, codes);
        QFETCH(char, ack);
        QFETCH(QString, shown);
        test::MainWindow w;
        for (char &c : codes)
            w.TasteSetzen(reinterpret_cast<std::uint8_t &>(c));
        w.DisplayQuittung(reinterpret_cast<std::uint8_t &>(ack));
        QCOMPARE(reportsShown(w) + " ack " + QString::number(w.device().QuittungsCode), shown);
        // A selector's label keeps its designed place and height, whatever its digits.
        for (const auto &[name, left] : {std::pair("lblWS1", 112), {"lblWS2", 224}}) {
            const QRect r = w.findChild<QLabel *>(name)->geometry();
            QCOMPARE(std::tuple(r.x(), r.y(), r.height()), std::tuple(left, 376, 24));
        }
        // A report never touches the LED squares.
        for (int k = 0; k < 12; ++k)
            QCOMPARE(w.findChild<Shape *>(QStringLiteral("shpTaste%1").arg(k))->fillColor(),
                     test::kGrey);
    }

    // The start-up against a unit that answers, one that does not, and with no unit wanted.
    void start_data()
    {
        QTest::addColumn<QString>("dialog"); // its button, then the unit's status reply in hex
        QTest::addColumn<QString>("shown");
        // Queried by the dialog's OK and again by the start-up, then display clear, LEDs off.
        const QString live = "live open link 1 pressed ", sent = " | sent 23 23 6c2b 40";
        QTest::newRow("key, both selectors") << "OKButton 314151" << live + "0 | 1 1" + sent;
        // Positions beyond the reply hold its block check (here 0x62, no report code).
        QTest::newRow("shorter reply") << "OKButton 3243" << live + "1 | 3 0" + sent;
        // A fourth byte still fits the reply's buffer; the first three are taken.
        QTest::newRow("longer reply") << "OKButton 33445430" << live + "2 | 4 4" + sent;
        // The message boxes belong to the dialog. No reply: the unit takes the query and never
        // answers it.
        const QString demo = "demo open link 1 pressed | 0 0 | ";
        QTest::newRow("silent line")
            << "OKButton silent" << demo + "sent | Fehler beim Senden (Dialog)";
        QTest::newRow("query never answered")
            << "OKButton" << demo + "sent 23 | Kein KELM gefunden (Dialog)";
        // Either way no unit is wanted: demonstration mode, no status query, no reset.
        QTest::newRow("Abbrechen") << "CancelButton" << demo + "nothing sent";
        QTest::newRow("Demo") << "btnDemo"
                              << "demo closed link 1 pressed | 0 0 | nothing sent";
    }

    void start()
    {
        QFETCH(QString, dialog);
        QFETCH(QString, shown);
        ToolOnLine tool;
        const auto reply = dialog.section(' ', 1).toLatin1(), hex = QByteArray::fromHex(reply);
        reply == "silent" ? tool.unit().setSilent(true)
                          : tool.unit().setStatusReply(Bytes(hex.begin(), hex.end()));
        tool.start({qPrintable(dialog.section(' ', 0, 0))});
        QTest::qWait(100); // for anything sent late
        QString seen = QString(tool.window.demoMode() ? "demo" : "live") +
                       (tool.window.MSComm1().portOpen() ? " open" : " closed") + " link " +
                       QString::number(tool.window.link().LinkStatus) + ' ' +
                       reportsShown(tool.window) +
                       (tool.unit().bytesFromTool().empty() ? " | nothing sent" : " | sent");
        for (const Bytes &t : tool.received())
            seen += ' ' + QByteArray::fromStdString({t.begin(), t.end()}).toHex();
        for (int i = 0; i < tool.watcher.messages.size(); ++i)
            seen += " | " + tool.watcher.messages[i] + " (" + tool.watcher.owners[i] + ')';
        QCOMPARE(seen, shown);
        for (int k = 0; k < 12; ++k)
            QCOMPARE(tool.mark(k)->fillColor(), QColor(0xFF, 0, 0));
        QCOMPARE(tool.window.findChildren<DisplayLine *>().size(), 8);
    }

    void startWithoutReplyOffersDialogAgain()
    {
        ToolOnLine tool;
        // The unit answers the dialog's query, then falls silent on the second one.
        tool.watcher.dialogActions.push_back([&tool](QWidget *d) {
            click(d, "OKButton");
            tool.unit().setStatusReply({});
        });
        tool.watcher.dialogActions.push_back([](QWidget *d) { click(d, "btnDemo"); });
        QElapsedTimer t;
        t.start();
        tool.window.Form_Load();
        // Offered again: the watcher has taken the second action.
        QVERIFY(tool.watcher.dialogActions.empty() && tool.window.demoMode());
        QCOMPARE(tool.watcher.messages, QStringList{"Kein KELM gefunden"});
        // Display clear and LEDs off follow in demonstration mode: nothing more goes out, and
        // the clear waits its full second for an acknowledgement that cannot come.
        QVERIFY(t.elapsed() >= 1000);
        QCOMPARE(tool.received(), (Telegrams{kQuery, kQuery}));
    }

    // One session from demonstration mode on: reset, display lines, acknowledgements, keys
    // and LEDs, until a send fails.
    void resetDisplayLinesKeysAndLeds()
    {
        ToolOnLine tool;
        tool.start({"CancelButton"}); // port open, demonstration mode on
        QTest::mouseDClick(tool.key(3), Qt::LeftButton);
        QCOMPARE(tool.window.device().LEDBlinken[3], std::int16_t(-1));
        tool.unit().setStatusReply({0x32, 0x43, 0x53});
        // A telegram of the unit's under way, its bytes still coming: the reset breaks it off
        // rather than waiting on it.
        tool.window.link().LinkStatus = linkstatus::Data;
        tool.window.link().EmpfangZeit = steadyClock().now() + 100;
        tool.menu("mnuReset")->trigger();
        QCOMPARE(std::ranges::count(tool.window.device().LEDBlinken, 0), 13L); // every flag clear
        QCOMPARE(reportsShown(tool.window) + (tool.window.demoMode() ? " demo" : " live"),
                 "pressed 1 | 3 3 live");
        QCOMPARE(tool.received(), (Telegrams{kQuery, kClear, kAllOff}));
        QCOMPARE(tool.led(3)->fillColor(), test::kGrey);
        tool.unit().clearLogs();
        tool.child<QCheckBox>("chkBlinken")->setChecked(true);
        tool.child<QCheckBox>("chkInvers")->setChecked(true);
        enterLine(tool, 0, "ABC\b"); // a typing error taken back
        QCOMPARE(tool.received(),
                 (Telegrams{{0x6C, 0x42, 0x40, 0x27, 0x30, 0x30, 0xA1, 0xA2, 0x29}}));
        QVERIFY(tool.unit().cells()[0][1].inverse && tool.unit().cells()[0][1].blink);
        QVERIFY(tool.displayLine(1)->hasFocus());
        tool.child<QCheckBox>("chkBlinken")->setChecked(false);
        tool.child<QCheckBox>("chkInvers")->setChecked(false);
        // Enter in line 7 moves on to line 0.
        enterLine(tool, 7, "");
        QVERIFY(tool.displayLine(0)->hasFocus());
        QCOMPARE(tool.received().back(), (Bytes{0x6C, 0x43, 0x41, 0x27, 0x37, 0x30, 0x29}));
        enterLine(tool, 2, "ABCDEFGHIJKLMNOPQ"); // two too many: the box takes 15
        QCOMPARE(tool.unit().lineText(2), std::string("ABCDEFGHIJKLMNO"));
        QCOMPARE(tool.displayLine(2)->text(), "ABCDEFGHIJKLMNO");
        // Typed characters above 127 become "*"; pasted ones go out as the "*" would.
        tool.displayLine(1)->setFocus();
        QKeyEvent umlaut(QEvent::KeyPress, Qt::Key_Adiaeresis, Qt::NoModifier, QStringLiteral("ä"));
        QApplication::sendEvent(tool.displayLine(1), &umlaut);
        QCOMPARE(tool.displayLine(1)->text(), QStringLiteral("*"));
        tool.displayLine(1)->setText(QStringLiteral("ü€"));
        QTest::keyClick(tool.displayLine(1), Qt::Key_Return);
        QCOMPARE(tool.received().back(),
                 (Bytes{0x6C, 0x43, 0x41, 0x27, 0x31, 0x30, 0x8A, 0x8A, 0x29}));
        QCOMPARE(tool.window.device().QuittungsCode, std::int16_t(0));

        // Digit 0: the wait runs its full second, and a key report is shown meanwhile.
        tool.unit().setAckDigit('0');
        bool markDuringWait = false;
        QTimer::singleShot(50, [&] { tool.unit().pressKey(6); });
        QTimer::singleShot(700, [&] { markDuringWait = tool.mark(6)->filled(); });
        QElapsedTimer t;
        t.start();
        QTest::keyClick(tool.displayLine(3), Qt::Key_Return);
        QVERIFY2(t.elapsed() >= 1000 && t.elapsed() < 1600,
                 qPrintable(QString::number(t.elapsed())));
        QVERIFY(markDuringWait && !tool.window.demoMode());
        QCOMPARE(tool.watcher.messages, QStringList{"Fehler beim Display schreiben"});
        // A late acknowledgement is kept and ends the next wait at once.
        tool.unit().setAckDigit('1');
        tool.unit().setAckDelayMs(1300);
        QTest::keyClick(tool.displayLine(0), Qt::Key_Return);
        QCOMPARE(tool.watcher.messages.size(), 2);
        QTRY_COMPARE(tool.window.device().QuittungsCode, std::int16_t(1));
        tool.unit().setAckDelayMs(0);
        t.restart();
        QTest::keyClick(tool.displayLine(1), Qt::Key_Return);
        QVERIFY(t.elapsed() < 1000); // the wait it would otherwise run
        QCOMPARE(tool.watcher.messages.size(), 2);
        tool.watcher.messages.clear();
        tool.unit().clearLogs();
        QTest::mouseClick(tool.key(4), Qt::LeftButton);
        QCOMPARE(tool.unit().leds()[4], Led::On);
        QCOMPARE(tool.led(4)->fillColor(), test::kYellow);
        QTest::mouseClick(tool.key(4), Qt::LeftButton);
        QCOMPARE(tool.led(4)->fillColor(), test::kGrey);
        QTest::mouseDClick(tool.key(11), Qt::LeftButton);
        QCOMPARE(tool.unit().leds()[11], Led::Blink);
        QTest::mouseDClick(tool.key(0), Qt::LeftButton);
        // The right button is no click.
        QTest::mouseClick(tool.key(5), Qt::RightButton);
        QTest::mouseDClick(tool.key(5), Qt::RightButton);
        QCOMPARE(tool.received(), (Telegrams{{0x35}, {0x45}, {0x3C}, {0x5C}, {0x31}, {0x51}}));
        QVERIFY(!tool.mark(4)->filled()); // a click never touches the pressed marks
        // On screen blinking LEDs alternate with the timer, in step with each other.
        QColor before = tool.led(11)->fillColor();
        for (int tick = 0; tick < 3; ++tick) {
            QTRY_VERIFY_WITH_TIMEOUT(tool.led(11)->fillColor() != before, 1500);
            before = tool.led(11)->fillColor();
            QCOMPARE(tool.led(0)->fillColor(), before);
        }
        // A click on a blinking LED switches it off, for good.
        tool.unit().clearLogs();
        QTest::mouseClick(tool.key(11), Qt::LeftButton);
        QCOMPARE(tool.received(), Telegrams{{0x4C}});
        QCOMPARE(tool.window.device().LEDBlinken[11], std::int16_t(0));
        QTest::qWait(1300);
        QCOMPARE(tool.led(11)->fillColor(), test::kGrey);
        // A send that fails switches to demonstration mode.
        tool.unit().setSilent(true);
        QTest::mouseClick(tool.key(2), Qt::LeftButton);
        QCOMPARE(tool.watcher.messages.join(" | ") + (tool.window.demoMode() ? " demo" : " live"),
                 "Fehler beim Senden demo");
        QCOMPARE(tool.led(2)->fillColor(), test::kYellow); // the screen is not undone
        // The blink command's own failure message comes after the sender's.
        tool.window.setDemoMode(false);
        tool.watcher.messages.clear();
        tool.window.imgTaste_DblClick(1);
        QCOMPARE(tool.watcher.messages,
                 (QStringList{"Fehler beim Senden", "Fehler beim LED senden"}));
        // A display line's failed send (the unit still silent) switches to demonstration mode too.
        tool.window.setDemoMode(false);
        tool.watcher.messages.clear();
        QTest::keyClick(tool.displayLine(5), Qt::Key_Return);
        QCOMPARE(tool.watcher.messages.value(0) + (tool.window.demoMode() ? " demo" : " live"),
                 "Fehler beim Senden demo");
        // So does the display's clearing, as a reset or the continuous test's end sends it.
        tool.window.setDemoMode(false);
        QVERIFY(!tool.window.device().DisplayLoeschen() && tool.window.demoMode());
    }

    void demoModeSendsNothing()
    {
        ToolOnLine tool;
        tool.start({"btnDemo"});
        QTest::mouseClick(tool.key(0), Qt::LeftButton);
        QTest::mouseDClick(tool.key(1), Qt::LeftButton);
        QCOMPARE(tool.led(0)->fillColor(), test::kYellow);
        // All LEDs off leaves the blink flags alone: only the reset command clears them.
        QVERIFY(tool.window.device().LEDReset());
        QVERIFY(!tool.window.ledLit(0) && !tool.window.ledLit(1));
        QCOMPARE(tool.window.device().LEDBlinken[1], std::int16_t(-1));
        // The acknowledgement's second goes by asleep in the event loop, not spinning a core.
        auto cpuMs = [] {
            timespec ts{};
            ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
            return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
        };
        QElapsedTimer t;
        t.start();
        const double cpu = cpuMs();
        enterLine(tool, 0, "Hallo");
        QVERIFY2(t.elapsed() >= 1000 && cpuMs() - cpu < 0.25 * double(t.elapsed()),
                 qPrintable(QStringLiteral("%1 of %2 ms").arg(cpuMs() - cpu).arg(t.elapsed())));
        QCOMPARE(tool.watcher.messages, QStringList{"Fehler beim Display schreiben"});
        QVERIFY(tool.unit().bytesFromTool().empty());
    }

    void oneCycleInOrder()
    {
        test::SkippingClock clock;
        ToolOnLine tool(clock);
        tool.start();
        tool.unit().clearLogs();
        QStringList notice;
        stopWhen(tool, [&] {
            // While it runs, the boxes are locked and show, centred, why the screen stands still.
            for (int n = 0; n < 8 && notice.size() < 8 && !chars(tool.received()).empty(); ++n)
                notice << QString(tool.displayLine(n)->isEnabled() ? "unlocked " : "") +
                              (horizontally(tool.displayLine(n)) == Qt::AlignHCenter
                                   ? ""
                                   : "uncentred ") +
                              tool.displayLine(n)->text();
            return chars(tool.received()).size() >= 512;
        });
        tool.window.mnuDauertest_Click();
        QCOMPARE(notice.join('|'), "|Dauertest||Display||wird NICHT||aktualisiert");

        QVERIFY2(!tool.menu("mnuDauertest")->isChecked() && tool.watcher.messages.isEmpty(),
                 qPrintable(tool.watcher.messages.join("|")));
        const Telegrams all = tool.received();
        // Display clear and all LEDs off first, then the cycle's own LEDs off.
        QCOMPARE(Telegrams(all.begin(), all.begin() + 3), (Telegrams{kClear, kAllOff, kAllOff}));
        const Telegrams c = chars(all);
        QVERIFY(c.size() >= 512);
        // Passes (i / 128): normal, inverse, blinking, inverse and blinking. Positions (i % 128) in
        // line and column order; codes 0x80 + 16 × line + column.
        const std::uint8_t attrs[4][2] = {{0x41, 0x43}, {0x40, 0x43}, {0x41, 0x42}, {0x40, 0x42}};
        for (int i = 0; i < 512; ++i)
            QCOMPARE(c[i], (Bytes{0x6C, 0x27, std::uint8_t(0x30 + i % 128 / 16),
                                  std::uint8_t(0x30 + i % 16), attrs[i / 128][0], attrs[i / 128][1],
                                  std::uint8_t(0x80 + i % 128)}));
        // The LED chase: after each character one LED toggles, 0 to 11 lit, then 0 to 11 unlit.
        QCOMPARE(all[4], Bytes{0x31});
        QCOMPARE(all[3 + 2 * 12 + 1], Bytes{0x41});
        // Stopped: the nested click's display clear, then the test's own clear and all LEDs off.
        // The click is taken at whichever wait of the test comes next (a character's or an LED
        // step's line wait, the next cycle's LEDs off), so characters and LED telegrams may still
        // follow the nested clear, and nothing else may.
        const auto tail = all.end() - 2;
        QCOMPARE(Telegrams(tail, all.end()), (Telegrams{kClear, kAllOff}));
        const auto nested = std::find(std::make_reverse_iterator(tail), all.rend(), kClear);
        QVERIFY(nested != all.rend() && nested.base() - 1 != all.begin());
        for (auto it = nested.base(); it != tail; ++it)
            QVERIFY(isChar(*it) || it->size() == 1);
        // The unit shows the last pass, and the screen's boxes are unlocked, empty and aligned to
        // the left again.
        for (int n = 0; n < 8; ++n)
            QVERIFY2(tool.displayLine(n)->isEnabled() && tool.displayLine(n)->text().isEmpty() &&
                         horizontally(tool.displayLine(n)) == Qt::AlignLeft,
                     qPrintable(QString::number(n)));
    }

    // Each character of the continuous test takes its 300 ms, with the journal on. The file
    // dialogs as an operator meets them: a name typed without its ending gets ".txt". Last, the
    // line goes away and comes back.
    void continuousTestPaceFilesAndVanishedPort()
    {
        QTemporaryDir dir;
        ToolOnLine tool;
        tool.start();
        // A name typed in the test's folder, then the dialog accepted or rejected.
        auto typeName = [&](const QString &name, bool save = true) {
            tool.watcher.dialogActions.push_back([&dir, name, save](QWidget *d) {
                auto *box = qobject_cast<QFileDialog *>(d);
                QVERIFY(box && box->acceptMode() == QFileDialog::AcceptSave);
                box->setDirectory(dir.path());
                box->findChild<QLineEdit *>("fileNameEdit")->setText(name);
                save ? static_cast<QDialog *>(box)->accept() : box->reject();
            });
        };
        // Cancelled, a name ready: neither the journal nor the monitor's log is written.
        typeName("cancelled", false);
        tool.menu("mnuMitschnitt")->trigger();
        QVERIFY(!tool.window.journal().recording() && !tool.menu("mnuMitschnitt")->isChecked());
        typeName("cancelled", false);
        QVERIFY(tool.window.V24Monitor().V24MonSave(SaveKind::Hex));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
        // Not a name of the build tree's folders: the dialog takes a typed name for a folder of the
        // working directory where there is one, and adds no ending.
        typeName("record");
        tool.menu("mnuMitschnitt")->trigger();
        QCOMPARE(tool.window.journal().path(), dir.filePath("record.txt"));
        QElapsedTimer t;
        bool startedInFile = false;
        stopWhen(tool, [&] {
            if (chars(tool.received()).size() == 1 && !t.isValid()) {
                t.start();
                // The start is in the file at once, not at the journal's next flush.
                startedInFile = test::readFile(dir.filePath("record.txt"))
                                    .contains("---- continuous test started\n");
            }
            return chars(tool.received()).size() >= 4;
        });
        tool.window.mnuDauertest_Click();
        QVERIFY2(t.elapsed() >= 3 * 300 - 20, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(tool.received().back(), kAllOff);
        QVERIFY(startedInFile && test::readFile(dir.filePath("record.txt"))
                                     .contains("---- continuous test stopped\n")); // likewise
        typeName("trace");
        QVERIFY(tool.window.V24Monitor().V24MonSave(SaveKind::Hex));
        QVERIFY(QFile::exists(dir.filePath("trace.txt")));
        // Then the adapter is pulled, with no message box shown so far.
        QCOMPARE(tool.watcher.messages, QStringList());
        tool.unit().setLateMs(600);
        std::thread puller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            tool.unit().stop();
            tool.line.pty.closeMaster();
        });
        t.restart();
        QTest::mouseClick(tool.key(2), Qt::LeftButton); // the adapter is pulled mid-telegram
        puller.join();
        QVERIFY(t.elapsed() < 2500);
        QVERIFY(tool.watcher.messages.contains("Fehler beim Senden") && tool.window.demoMode());
        // The port's own word on what happened follows from the event loop.
        QTRY_VERIFY(!tool.window.MSComm1().portOpen());
        QTRY_COMPARE(tool.watcher.messages.size(), 2);
        // Still responsive, and the dialog opens a line again. Its first OK meets a unit that
        // takes the query and never answers: the box says so in front of the dialog.
        test::UnitOnLine second;
        second.wire(tool.window.MSComm1());
        for (const QString owner : {"Dialog", ""}) {
            second.unit->setStatusReply(owner.isEmpty() ? Bytes{0x30, 0x42, 0x52} : Bytes{});
            QTRY_VERIFY(!tool.window.configDialog()); // the one before released
            tool.window.mnuKonfig_Click();
            QTRY_VERIFY(tool.window.configDialog());
            click(tool.window.configDialog(), "OKButton");
            if (!owner.isEmpty())
                QCOMPARE(tool.watcher.messages.value(2) + " (" + tool.watcher.owners.value(2) + ')',
                         "Kein KELM gefunden (" + owner + ')');
        }
        QCOMPARE(tool.watcher.messages.size(), 3);
        QVERIFY(tool.window.MSComm1().portOpen() && !tool.window.demoMode());
        QCOMPARE(reportsShown(tool.window), "pressed | 2 2");
        QTest::mouseClick(tool.key(3), Qt::LeftButton);
        QTRY_COMPARE(second.unit->leds()[3], Led::On);
    }

    void continuousTestFailures_data()
    {
        QTest::addColumn<int>("refuseFrom"); // the block the unit refuses from on, 0 for none
        QTest::addColumn<char>("digit");     // of the unit's acknowledgements
        QTest::addColumn<int>("seconds");    // the least the test takes
        // Telegrams received, mode, tick, LEDs lit, messages, where the journal says it broke off.
        QTest::addColumn<QString>("shown");
        const QString failed("Fehler beim Senden");
        // Digit 2 is no failure: the test ends after its first character and LED step, with
        // display clear and LEDs off, and stays ticked.
        QTest::newRow("digit 2") << 0 << '2' << 0 << "7 live ticked 000000000000";
        // Acknowledged but never carried out: the display clear's wait of 1 s, then the first
        // character's wait of 10 s runs out. The LED chase stands where the test broke off.
        QTest::newRow("digit 0") << 0 << '0' << 1 + 10
                                 << "5 demo unticked 100000000000 " + failed +
                                        " (line 0, column 0)";
        // The cycle's own LEDs off refused: the cycle stops at its first wait, in demonstration
        // mode, and ends as a stop does, without a failure of its own: the display clear waits
        // its second for an acknowledgement that cannot come.
        QTest::newRow("LEDs off refused")
            << 2 << '1' << 1 << "2 demo unticked 000000000000 " + failed;
        // Likewise the chase's first LED step; the first character's acknowledgement, not yet
        // taken, ends the display clear's wait.
        QTest::newRow("LED step refused")
            << 4 << '1' << 0 << "4 demo unticked 000000000000 " + failed;
        // Display clear, LEDs off twice, four characters each with its LED step, then refused:
        // the sender's message, then the test's own, and no clear or LEDs off follow. The journal
        // says where the test broke off.
        QTest::newRow("refused") << 3 + 4 * 2 << '1' << 0
                                 << "11 demo unticked 111100000000 " + failed + ' ' + failed +
                                        " (line 0, column 4)";
    }

    void continuousTestFailures()
    {
        QFETCH(int, refuseFrom);
        QFETCH(char, digit);
        QFETCH(int, seconds);
        QFETCH(QString, shown);
        QTemporaryDir dir; // outlives the tool, whose journal records into it
        test::SkippingClock clock;
        ToolOnLine tool(clock);
        tool.start();
        tool.unit().clearLogs();
        tool.unit().setAckDigit(digit);
        if (refuseFrom > 0)
            tool.unit().nakFromBlock(refuseFrom);
        QString error;
        QVERIFY(tool.window.journal().start(dir.filePath("j.txt"), &error));
        QElapsedTimer t;
        t.start();
        tool.window.mnuDauertest_Click();
        QVERIFY2(t.elapsed() >= seconds * 1000 && t.elapsed() < seconds * 1000 + 3000,
                 qPrintable(QString::number(t.elapsed())));
        const bool ticked = tool.menu("mnuDauertest")->isChecked();
        QString seen = QString::number(tool.received().size()) +
                       (tool.window.demoMode() ? " demo" : " live") +
                       (ticked ? " ticked " : " unticked ");
        for (int k = 0; k < 12; ++k)
            seen += tool.window.ledLit(k) ? '1' : '0';
        for (const QString &message : tool.watcher.messages)
            seen += ' ' + message;
        tool.window.journal().stop();
        for (const QString &note :
             QString::fromUtf8(test::readFile(dir.filePath("j.txt"))).split('\n'))
            if (note.contains("continuous test failed at "))
                seen += " (" + note.section("failed at ", 1) + ')';
        QCOMPARE(seen, shown);
        if (!ticked)
            return;
        QCOMPARE(tool.received().back(), kAllOff);
        // The next click removes the tick and clears the display instead of starting again.
        tool.unit().setAckDigit('1');
        tool.unit().clearLogs();
        tool.window.mnuDauertest_Click();
        QVERIFY(!tool.menu("mnuDauertest")->isChecked());
        QCOMPARE(tool.received(), Telegrams{kClear});
    }

    void demoChase()
    {
        ToolOnLine tool;
        tool.start({"btnDemo"});
        // When each LED came on, as seen from here: late on a busy machine, never early.
        QList<qint64> litAt;
        QElapsedTimer t;
        t.start();
        bool locked = false; // meanwhile, with the notice why the display stands still
        stopWhen(tool, [&] {
            locked |=
                !tool.displayLine(1)->isEnabled() && tool.displayLine(1)->text() == "Dauertest";
            int lit = 0;
            for (int k = 0; k < 12; ++k)
                lit += tool.window.ledLit(k);
            while (litAt.size() < lit)
                litAt << t.elapsed();
            return lit >= 4 || t.elapsed() > 5000;
        });
        tool.window.mnuDauertest_Click();
        // Lit at 0, 0.5, 1.0 and 1.5 s.
        QCOMPARE(litAt.size(), 4);
        QVERIFY2(litAt[3] >= 1500 - 20 && litAt[3] < 2000, qPrintable(QString::number(litAt[3])));
        QVERIFY(tool.window.ledLit(3) && !tool.window.ledLit(4) && locked &&
                tool.unit().bytesFromTool().empty() && tool.watcher.messages.isEmpty());
        QVERIFY(tool.displayLine(1)->isEnabled() && tool.displayLine(1)->text().isEmpty());
    }

    void dialogCancelRestoresAndOkOnBadPortStays()
    {
        test::ModalWatcher watcher;
        test::UnitOnLine line;
        MSComm port;
        line.wire(port);
        QVERIFY(port.setPortOpen(true));
        Dialog d(port, {});
        QVERIFY(!port.portOpen());
        // Each port's choice names the device it stands for.
        QCOMPARE(d.findChild<QWidget *>("optCOM0")->toolTip(), line.device());
        QCOMPARE(d.findChild<QWidget *>("optCOM3")->toolTip(), "/nonexistent/kelm-com4");
        auto shown = [&port] {
            return QStringList{QString::number(port.commPortNumber()), port.settings(), port.tag()};
        };
        // Each choice takes effect as it is clicked, also back to the start values.
        for (const auto &[options, want] :
             {std::pair(QStringList{"optCOM1", "optBaudrate1", "optSoftware0"},
                        QStringList{"2", "19200,e,8,1", "STX"}),
              {{"optBaudrate0"}, {"2", "9600,e,8,1", "STX"}},
              {{"optSoftware1"}, {"2", "9600,e,8,1", ""}},
              {{"optBaudrate1", "optSoftware0"}, {"2", "19200,e,8,1", "STX"}}}) {
            for (const QString &option : options)
                click(&d, option);
            QCOMPARE(shown(), want);
        }
        click(&d, "CancelButton");
        QCOMPARE(shown(), (QStringList{"1", "9600,e,8,1", ""}));
        QVERIFY(port.portOpen());
        QCOMPARE(port.appliedSettings().baud, 9600);
        // Escape and the title bar's close box count as Abbrechen.
        for (const bool escape : {true, false}) {
            Dialog again(port, {});
            again.show();
            click(&again, "optBaudrate1");
            escape ? QTest::keyClick(&again, Qt::Key_Escape) : (void)again.close();
            QVERIFY(port.settings() == "9600,e,8,1" && port.portOpen() && !again.isVisible());
        }
        // OK on a port that cannot be opened says why and leaves the dialog up.
        port.setDeviceResolver([](int) { return QStringLiteral("/nonexistent/ttyKELM"); });
        bool queried = false, demo = false;
        Dialog bad(port, {.afterOpen = [&] { queried = true; }, .showDemo = [&] { demo = true; }});
        bad.show();
        click(&bad, "OKButton");
        const QString gone = "Com 1 (/nonexistent/ttyKELM): No such file or directory";
        QCOMPARE(watcher.messages, QStringList{gone});
        QVERIFY(bad.isVisible() && !queried && !demo && !port.portOpen());
        // Abbrechen cannot reopen the port either: said too, and on in demonstration mode.
        click(&bad, "CancelButton");
        QCOMPARE(watcher.messages, (QStringList{gone, gone}));
        QVERIFY(demo && !bad.isVisible());
        // A refused device names its real group and the way into it; root's group is no advice.
        QTemporaryFile device;
        QVERIFY(device.open());
        if (QFileInfo(device).groupId() == 0) // as root: a group to join, tty is on every Linux
            QVERIFY(::chown(QFile::encodeName(device.fileName()), uid_t(-1),
                            ::getgrnam("tty")->gr_gid) == 0);
        QCOMPARE(withAccessRemedy("Permission denied", device.fileName(), true),
                 QStringLiteral("Permission denied \u2014 add your user to the group \"%1\" (sudo "
                                "adduser $USER %1) and log in again")
                     .arg(QFileInfo(device.fileName()).group()));
        QCOMPARE(withAccessRemedy("Permission denied", "/", true), "Permission denied");
        QCOMPARE(withAccessRemedy("Permission denied", "/dev/tty", false), "Permission denied");
    }

    void menusAboutBoxAndConfiguration()
    {
        test::UnitOnLine line;
        test::MainWindow w;
        QStringList captions;
        for (QAction *menu : w.menuBar()->actions()) {
            captions << menu->text();
            for (QAction *entry : menu->menu()->actions()) {
                captions << "  " + entry->text();
                QVERIFY(entry->isEnabled() && entry->isVisible() && !entry->isChecked());
            }
        }
        QCOMPARE(captions.join('|'),
                 "Datei|  Info KELM|  Beenden|Funktionen|  Dauertest|  Reset KELM|"
                 "Schnittstelle|  Konfiguraion|Monitor|  Ein/Aus|  Mitschnitt...");
        QVERIFY(!w.findChild<QLabel *>("lblDemo")->isHidden());
        // The keys show under the mouse that they take a click.
        for (int k = 0; k < 12; ++k)
            QCOMPARE(w.findChild<QWidget *>(QStringLiteral("imgTaste%1").arg(k))->cursor().shape(),
                     Qt::PointingHandCursor);
        // The unit drawn on a clear ground, at each size a desktop asks for.
        QCOMPARE(w.windowIcon().availableSizes(),
                 (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {64, 64}}));
        const QImage icon = w.windowIcon().pixmap(16, 16).toImage();
        QVERIFY(icon.pixelColor(0, 0).alpha() == 0 && icon.pixelColor(8, 8).alpha() == 255);
        w.mnuInfo_Click();
        const auto boxes = w.findChildren<frmAbout *>();
        QCOMPARE(boxes.size(), 1);
        // Another window has the keyboard; a second choice brings the same box forward, to it.
        QWidget elsewhere;
        elsewhere.show();
        elsewhere.activateWindow();
        QTRY_VERIFY(elsewhere.isActiveWindow());
        Raises aboutRaised(boxes[0]);
        w.mnuInfo_Click();
        QVERIFY(w.findChildren<frmAbout *>() == boxes && aboutRaised.count > 0);
        QTRY_VERIFY(boxes[0]->isActiveWindow());
        QVERIFY(boxes[0]->isVisible() && !boxes[0]->isModal());
        QCOMPARE(boxes[0]->windowTitle(), QStringLiteral("Info zu KELM"));
        QCOMPARE(boxes[0]->findChild<QLabel *>("lblVersion")->text(), "Version 4.1.0");
        QCOMPARE(boxes[0]->findChild<QLabel *>("lblTitle")->text(), "KELM");
        allInside(boxes[0]);
        QStringList layout = layoutOf(boxes[0]);
        // The address fits its box whole: nothing to scroll to, though no scroll bar would show.
        QCOMPARE(boxes[0]->findChild<QPlainTextEdit *>("Text1")->verticalScrollBar()->maximum(), 0);
        click(boxes[0], "cmdOK");
        QTRY_COMPARE(w.findChildren<frmAbout *>().size(), 0);
        // The configuration does not block either.
        w.show();
        w.findChild<QAction *>("mnuKonfig")->trigger();
        QPointer<Dialog> d = w.configDialog();
        QVERIFY(d && d->isVisible() && !d->isModal() && !QApplication::activeModalWidget());
        elsewhere.activateWindow();
        QTRY_VERIFY(elsewhere.isActiveWindow());
        Raises dialogRaised(d);
        w.mnuKonfig_Click(); // the same again
        QVERIFY(w.configDialog().data() == d.data() && dialogRaised.count > 0);
        QTRY_VERIFY(d->isActiveWindow());
        allInside(&w);
        allInside(d);
        // Every part where it was designed to stand.
        matchesKept("layout.txt", layout << layoutOf(w.centralWidget()) << layoutOf(d));
        // Closed by its close box (Abbrechen opens the line again), it is released too, and the
        // menu brings a new one.
        line.wire(w.MSComm1());
        QVERIFY(d->close());
        QTRY_VERIFY(!d);
        w.mnuKonfig_Click();
        d = w.configDialog();
        QVERIFY(d && d->isVisible() && !w.MSComm1().portOpen());
        click(d, "btnDemo");
        QTRY_VERIFY(!d); // released when closed
    }

    // What is drawn in code (the unit's face, the LED and mark shapes, the icon), command by
    // command with its pen and brush, against the record kept beside the tests: exact, and the
    // same on every machine, as no font or rasterizer takes part. Text is kept as its words and
    // pen only (where it lands depends on the font). KELM_WRITE_PICTURES=1 writes the record
    // anew after a change meant to be seen.
    void picturesDrawnInCode()
    {
        test::PaintLog log(411, 500);
        {
            QPainter p(&log);
            UnitFront front;
            // Without the window's background, which is the style's.
            front.render(&p, {}, {}, {});
            for (auto kind : {Shape::Kind::Rectangle, Shape::Kind::Circle}) {
                Shape shape(kind, nullptr);
                shape.resize(20, 20);
                shape.setFillColor(QColor(255, 255, 0));
                shape.render(&p, QPoint(345, 0), {}, {});
            }
            for (int size : {16, 64})
                drawIcon(p, size);
        }
        matchesKept("drawn-in-code.txt", log.lines);
    }

    void displayGlyphs_data()
    {
        QTest::addColumn<QString>("face"); // empty: the machine's own monospace face
        QTest::addColumn<int>("dpi");      // the desktop's text resolution, where not Qt's own
        QTest::newRow("as installed") << QString() << 0;
        // Large text on the desktop: the fonts the window starts from are larger than a line
        // holds.
        QTest::newRow("text at 144 dpi") << QString() << 144;
        for (const char *face : {"DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono"})
            QTest::newRow(face) << QString::fromLatin1(face) << 0;
    }

    // Typed capitals and descenders stand whole in their line's 16-row band, whatever monospace
    // face fontconfig gives and however large the desktop sets its text, and the other
    // fixed-size texts fit their boxes. Fontconfig and Qt read their set-up once, so each face
    // and resolution gets a process of its own: this program again, told to prefer the face for
    // every family.
    void displayGlyphs()
    {
        QFETCH(QString, face);
        QFETCH(int, dpi);
        if ((!face.isEmpty() || dpi != 0) && !qEnvironmentVariableIsSet("KELM_TEST_CHILD")) {
            QTemporaryDir dir;
            // The machine's own set-up where no face is asked for.
            const QString conf = face.isEmpty() ? QString() : dir.filePath("fonts.conf");
            const QByteArray prefer =
                "<?xml version=\"1.0\"?><fontconfig><include ignore_missing=\"yes\">"
                "/etc/fonts/fonts.conf</include><match target=\"pattern\"><edit name=\"family\" "
                "mode=\"prepend_first\" binding=\"strong\"><string>" +
                face.toUtf8() + "</string></edit></match></fontconfig>";
            QVERIFY(conf.isNull() || test::writeFile(conf, prefer));
            QProcess child;
            child.setProcessChannelMode(QProcess::MergedChannels);
            // The resolution of text only: the window keeps its pixels.
            QVERIFY2(runAlone(child, "displayGlyphs:" + QString(QTest::currentDataTag()),
                              {{"FONTCONFIG_FILE", conf},
                               {"KELM_TEST_CHILD", "1"},
                               {"QT_FONT_DPI", QString::number(dpi != 0 ? dpi : 96)},
                               {"QT_ENABLE_HIGHDPI_SCALING", "0"}}),
                     child.readAll().constData());
            return;
        }
        test::MainWindow w;
        if (dpi != 0)
            QCOMPARE(w.logicalDpiY(), dpi);
        const QFont font = w.findChild<QLineEdit *>("txtDisplay1")->font();
        if (!face.isEmpty())
            QCOMPARE(QFontInfo(font).family(), face);
        // Sixteen characters fill a display line, all but the 6 pixels its margins and cursor take.
        const double sixteen = QFontMetricsF(font).horizontalAdvance(QString(16, 'M'));
        QVERIFY2(sixteen > 185 - 6 - 1 && sixteen <= 185 - 6, qPrintable(QString::number(sixteen)));
        // The capital first, then the glyphs that reach highest and lowest in most faces.
        for (int n : {1, 4, 7})
            QTest::keyClicks(w.findChild<QLineEdit *>(QStringLiteral("txtDisplay%1").arg(n)),
                             "Hgpqy|$([{_Qj@");
        w.setDisplayBoxEnabled(4, false); // as while the continuous test runs
        const QImage shot = w.centralWidget()->grab().toImage();
        // The rows of line n's box, 0 to 17, that hold ink, as a bit per column.
        auto ink = [&shot](int n, int row) {
            QBitArray dark(185);
            for (int x = 0; x < 185; ++x)
                dark[x] = qGray(shot.pixel(80 + x, 64 + 16 * n + row)) < 110;
            return dark;
        };
        int top = 18, bottom = -1; // line 7's first and last rows with ink
        for (int row = 0; row < 18; ++row)
            if (ink(7, row).count(true) > 0)
                std::tie(top, bottom) = std::pair(std::min(top, row), row);
        // Line 7 has nothing below it and shows the whole glyphs: within rows 1 to 15, from the
        // row below the spare one (or the next, where the ink's top row is too faint to count),
        // and tall enough to read. Line 1 shows the same ink, none of it lost under line 2.
        QVERIFY2(top >= 1 && top <= 2 && bottom <= 15 && bottom - top >= 11,
                 qPrintable(QStringLiteral("ink in rows %1 to %2").arg(top).arg(bottom)));
        for (int row = 0; row < 16; ++row)
            QCOMPARE(ink(1, row), ink(7, row));
        // The descenders reach below the capital's foot: the lowest row with ink has none in the
        // capital's 13 columns.
        for (int x = 0; x < 13; ++x)
            QVERIFY(!ink(7, bottom).testBit(x));
        // The designed colours: the display's green behind open and locked lines alike, the
        // locked line's text, the selectors' white digits, the amber notice of demonstration mode.
        auto colours = [&](const char *name) {
            auto *box = w.findChild<QWidget *>(name);
            const QRect r(box->mapTo(w.centralWidget(), QPoint()), box->size());
            QList<QColor> out;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    out << shot.pixelColor(x, y);
            return out;
        };
        const QColor green(0x8C, 0xBD, 0x9F);
        for (const char *line : {"txtDisplay3", "txtDisplay4"})
            QCOMPARE(colours(line).value(8 * 185 + 180), green);            // row 8, past the text
        QVERIFY(colours("txtDisplay4").contains(QColor(0x2F, 0x45, 0x38))); // where ink is whole
        QVERIFY(std::ranges::max(colours("lblWS1"), {}, &QColor::lightness).lightness() >= 230);
        // The notice of demonstration mode in amber, centred in its strip of 149 columns.
        const QList<QColor> demo = colours("lblDemo");
        int first = 149, last = -1;
        for (int i = 0; i < demo.size(); ++i) {
            const QColor c = demo[i];
            if (c.red() >= 230 && c.green() >= 150 && c.green() <= 230 && c.blue() <= 100) {
                first = std::min(first, i % 149);
                last = std::max(last, i % 149);
            }
        }
        QVERIFY2(last >= 0 && std::abs(first - (148 - last)) <= 2,
                 qPrintable(QStringLiteral("amber from column %1 to %2").arg(first).arg(last)));
        // The captions keep their designed places and size on the unit's face, whatever they
        // grow to.
        for (const auto &[name, at] :
             {std::pair("chkBlinken", QPoint(40, 200)), {"chkInvers", QPoint(248, 200)}}) {
            auto *box = w.findChild<QWidget *>(name);
            box->ensurePolished();
            QVERIFY(box->pos() == at && box->font().pixelSize() == 12);
        }
        frmAbout about;
        for (QWidget *box :
             {w.findChild<QWidget *>("chkBlinken"), w.findChild<QWidget *>("chkInvers"),
              w.findChild<QWidget *>("lblWS1"), w.findChild<QWidget *>("lblDemo"),
              about.findChild<QWidget *>("lblTitle"), about.findChild<QWidget *>("lblVersion"),
              about.findChild<QWidget *>("Label1")}) {
            box->ensurePolished();
            QVERIFY2(QFontMetrics(box->font()).height() <= box->height(),
                     qPrintable(box->objectName()));
        }
        // And as large as designed, or where the face is too tall for that, as the box holds.
        for (const auto &[name, px] : {std::pair("lblWS1", 18), {"lblDemo", 13}}) {
            auto *box = w.findChild<QWidget *>(name);
            QFont larger = box->font();
            larger.setPixelSize(larger.pixelSize() + 1);
            QVERIFY2(
                larger.pixelSize() == px + 1 ||
                    (larger.pixelSize() <= px && QFontMetrics(larger).height() > box->height()),
                name);
        }
        // The address as large as designed, or as large as leaves two clear rows below its fifth
        // line and the document's margin: the next size up, measured out, leaves fewer.
        auto *address = about.findChild<QPlainTextEdit *>("Text1");
        const int chosen = address->font().pixelSize();
        for (int px : {chosen, chosen + 1}) {
            QFont font = address->font();
            font.setPixelSize(px);
            address->setFont(font);
            QTextCursor end(address->document());
            end.movePosition(QTextCursor::End);
            const int foot = address->cursorRect(end).bottom();
            const bool clear = foot + 1 + 3 + 2 <= address->contentsRect().height();
            QVERIFY2(clear == (px == chosen) || px == 14,
                     qPrintable(QStringLiteral("%1 px: foot at %2").arg(px).arg(foot)));
        }
        // On a desktop whose text is light, line 0's stays black; the others follow the
        // desktop.
        const QPalette desktop = QApplication::palette();
        const auto restore = qScopeGuard([&] { QApplication::setPalette(desktop); });
        QPalette light = desktop;
        light.setColor(QPalette::Text, Qt::white);
        QApplication::setPalette(light);
        test::MainWindow onLight;
        for (int n : {0, 1, 7})
            QCOMPARE(onLight.findChild<QWidget *>(QStringLiteral("txtDisplay%1").arg(n))
                         ->palette()
                         .color(QPalette::Text),
                     QColor(n == 0 ? Qt::black : Qt::white));
    }

    // An unset, empty or relative XDG_STATE_HOME means ~/.local/state. A state folder that cannot
    // be made is said once, with why; the tool carries on. Run in a process of its own, where no
    // earlier test has used up the one warning.
    void stateFolder()
    {
        if (qEnvironmentVariableIsSet("KELM_TEST_CHILD")) {
            remembered::saveJournal(QStringLiteral("j.txt"), false);
            remembered::saveJournal(QStringLiteral("k.txt"), false);
            return;
        }
        QProcess child;
        QStringList paths;
        for (const char *value : std::initializer_list<const char *>{"", "state", nullptr}) {
            const test::ScopedEnv state("XDG_STATE_HOME", value);
            paths << remembered::stateFilePath();
        }
        QCOMPARE(paths, QStringList(3, QDir::homePath() + "/.local/state/kelm/state.conf"));
        QVERIFY(runAlone(child, "stateFolder",
                         {{"KELM_TEST_CHILD", "1"}, {"XDG_STATE_HOME", "/dev/null/state"}}));
        const QString err = QString::fromLocal8Bit(child.readAllStandardError());
        QCOMPARE(err.count("kelm: "), 1);
        QVERIFY2(err.contains("kelm: /dev/null/state/kelm/state.conf: its folder cannot be made; "
                              "what the tool remembers is not saved\n"),
                 qPrintable(err));
    }

    // By the time the tool ends (which may be from inside a wait, without unwinding), the port
    // is closed and the journal complete.
    void closeClosesPortAndEnds()
    {
        QTemporaryDir dir;
        const QString journal = dir.filePath("journal.txt");
        QStringList ends; // the port's state at each end
        QByteArray journalAtEnd;
        ToolOnLine tool;
        frmKELM &w = tool.window;
        w.setEndTool([&] {
            ends << (w.MSComm1().portOpen() ? "open" : "closed");
            journalAtEnd = test::readFile(journal);
        });
        QVERIFY(w.MSComm1().setPortOpen(true));
        // A message box on the way: the window ends as one that never showed any.
        w.setJournalFileProvider([] { return QStringLiteral("/nonexistent/j.txt"); });
        w.findChild<QAction *>("mnuMitschnitt")->trigger();
        QCOMPARE(tool.watcher.messages.size(), 1);
        w.setJournalFileProvider([&] { return journal; });
        w.findChild<QAction *>("mnuMitschnitt")->trigger();
        w.show();
        w.mnuMonitorEA_Click();
        w.findChild<QAction *>("mnuBeenden")->trigger();
        QCOMPARE(ends, QStringList{"closed"});
        QVERIFY(!w.V24Monitor().isVisible());
        QVERIFY2(journalAtEnd.endsWith("journal stopped\n") &&
                     journalAtEnd.contains("---- port closed\n"),
                 journalAtEnd.constData());
    }

    void rememberedSettings_data()
    {
        QTest::addColumn<QByteArray>("conf");
        // port, variant, window place, view, journal files and megabytes | dialog
        QTest::addColumn<QString>("shown");
        const QString dialog = " | optBaudrate0 optCOM0 optSoftware1",
                      start = "1 9600,e,8,1 - 0,0 ASCII 5 10" + dialog;
        QTest::newRow("remembered")
            << QByteArray("[Line]\nCom=3\nSettings=\"19200,e,8,1\"\nVariant=STX\n"
                          "[Windows]\nMain=@Point(100 50)\n[Monitor]\nView=HEX\n"
                          "[Journal]\nFiles=1\nMaxSizeMB=100000\n")
            << "3 19200,e,8,1 STX 100,50 HEX 1 100000 | optBaudrate1 optCOM2 optSoftware0";
        // The offscreen screen is 800 × 600: the title strip would be on it, the rest not.
        QTest::newRow("partly off the screen, journal limits at their other ends")
            << QByteArray("[Windows]\nMain=@Point(300 400)\n[Journal]\nFiles=1000\nMaxSizeMB=1\n")
            << "1 9600,e,8,1 - 0,0 ASCII 1000 1" + dialog;
        QTest::newRow("out of range")
            << QByteArray("[Line]\nCom=9\nSettings=fast\nVariant=maybe\n"
                          "[Windows]\nMain=@Point(5000 5000)\n[Monitor]\nView=3\n"
                          "[Journal]\nFiles=0\nMaxSizeMB=100001\n")
            << start;
        QTest::newRow("port and journal limits just out of range")
            << QByteArray("[Line]\nCom=0\n[Journal]\nFiles=1001\nMaxSizeMB=0\n") << start;
        QTest::newRow("journal limits not whole numbers")
            << QByteArray("[Journal]\nFiles=3x\nMaxSizeMB=2.5\n") << start;
        QTest::newRow("nonsense") << QByteArray("\x01\x02[[[\n=\n\xff\xfe") << start;
        QTest::newRow("unreadable") << QByteArray("a directory") << start;
    }

    // Values in range are used, anything else leaves the start values, and a file that cannot
    // be read is passed over; the dialog shows what the port holds.
    void rememberedSettings()
    {
        QFETCH(QByteArray, conf);
        QFETCH(QString, shown);
        withSettings(conf, [&] {
            test::MainWindow w;
            const MSComm &port = w.MSComm1();
            const QString seen = QString::number(port.commPortNumber()) + ' ' + port.settings() +
                                 ' ' + (port.tag().isEmpty() ? "-" : port.tag()) +
                                 QString::asprintf(" %d,%d %s %d %lld |", w.pos().x(), w.pos().y(),
                                                   w.V24Monitor().showAscii() ? "ASCII" : "HEX",
                                                   configuredJournalFiles(),
                                                   configuredJournalMaxBytes() / (1024 * 1024));
            Dialog d(w.MSComm1(), {});
            QStringList options;
            for (auto *option : d.findChildren<QAbstractButton *>(QRegularExpression("^opt")))
                if (option->isChecked())
                    options << option->objectName();
            options.sort();
            QCOMPARE(seen + ' ' + options.join(' '), shown);
        });
    }

    // A successful OK keeps port, speed and variant; positions and the view are kept on closing,
    // in the state file: kelm.conf stays as the user wrote it, and a state file that cannot be
    // written whole (a full disk) stays as it was.
    void settingsKeptByOk()
    {
        const QByteArray conf = "; the bench's adapters\n[Ports]\nCom2 /dev/ttyUSB4\n";
        withSettings(conf, [&] {
            test::UnitOnLine line;
            {
                MSComm port;
                line.wire(port);
                Dialog d(port, {});
                for (const char *button : {"optBaudrate1", "optSoftware0", "OKButton"})
                    click(&d, button);
                QVERIFY(port.portOpen() && port.settings() == "19200,e,8,1" && port.tag() == "STX");
            }
            auto session = [](QPoint moveTo) {
                test::MainWindow w;
                QCOMPARE(w.MSComm1().settings() + ' ' + w.MSComm1().tag(), "19200,e,8,1 STX");
                w.show();
                w.move(moveTo);
                w.V24Monitor().mnuShowHex_Click();
                w.mnuMonitorEA_Click();
                w.V24Monitor().move(moveTo / 5);
                w.mnuKonfig_Click();
                w.configDialog()->move(moveTo * 2);
                click(w.configDialog(), "btnDemo");
                w.close();
            };
            session(QPoint(50, 60));
            const QString state = qEnvironmentVariable("XDG_STATE_HOME") + "/kelm/state.conf";
            const QByteArray kept = test::readFile(state);
            // Quoted, as its commas need, and nothing in it escaped.
            QVERIFY2(kept.contains("\nSettings=\"19200,e,8,1\"\n"), kept.constData());
            {
                test::FileSizeLimit full(16);
                session(QPoint(70, 80));
            }
            QCOMPARE(test::readFile(state), kept);
            QCOMPARE(test::readFile(qEnvironmentVariable("XDG_CONFIG_HOME") + "/kelm/kelm.conf"),
                     conf);
            test::MainWindow again;
            QCOMPARE(again.pos(), QPoint(50, 60));
            QCOMPARE(again.V24Monitor().pos(), QPoint(10, 12));
            QVERIFY(!again.V24Monitor().showAscii());
            again.mnuKonfig_Click();
            QCOMPARE(again.configDialog()->pos(), QPoint(100, 120));
            // Whatever a file name holds reads back as written.
            for (const QString odd :
                 {"@Point(1 2)", "a\"b\\c;d,e=f", "tab\tcafe\001abc", "line\nend\r", "Ä"}) {
                remembered::saveJournal(odd, true);
                QCOMPARE(remembered::journalFile(), odd);
            }
            // The monitor hidden through the menu keeps its place at once: a tool that is then
            // killed, or loses its power, has lost nothing.
            again.mnuMonitorEA_Click();
            again.V24Monitor().move(30, 40);
            again.mnuMonitorEA_Click();
            QVERIFY(test::readFile(state).contains("\nMonitor=@Point(30 40)\n"));
        });
    }
};

QTEST_MAIN(DeviceTest)
#include "tst_device.moc"
