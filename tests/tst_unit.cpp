// The simulated unit as a program of its own: its reading of the telegrams, its keys and
// selectors reaching the tool over a pseudo-terminal, its command line, and the launcher.
#include "ToolOnLine.h"
#include "sim/UnitModel.h"
#include "sim/UnitWindow.h"

#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>

using namespace kelm;
using sim::Bytes;
using sim::Led;
using sim::UnitModel;

class UnitTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("KELM")); }
    void decodesDisplayLine();
    void decodesDisplayCharacterAndClear();
    void decodesLedTelegrams();
    void keysAndSelectorsReachTheTool();
    void commandLine();
    void launcherEndsWithTheTool();
};

void UnitTest::decodesDisplayLine()
{
    UnitModel m;
    m.apply({0x6C, 0x42, 0x40, 0x27, 0x32, 0x30, 0xA1, 0xA2, 0x29});
    QCOMPARE(m.lineText(2), std::string("AB"));
    QVERIFY(m.cells[2][0].inverse && m.cells[2][0].blink);
    QCOMPARE(m.cells[2][1].code, std::uint8_t(0xA2));
    // The closing byte writes nothing.
    QCOMPARE(m.cells[2][2], sim::Cell{});
    m.apply({0x6C, 0x43, 0x41, 0x27, 0x32, 0x30, 0xA3, 0x29});
    QCOMPARE(m.lineText(2), std::string("CB"));
    QVERIFY(!m.cells[2][0].inverse && !m.cells[2][0].blink);
    QVERIFY(m.cells[2][1].inverse); // untouched by the shorter line
}

void UnitTest::decodesDisplayCharacterAndClear()
{
    UnitModel m;
    m.apply({0x6C, 0x27, 0x37, 0x3F, 0x40, 0x42, 0xFF});
    QCOMPARE(m.cells[7][15], (sim::Cell{0xFF, true, true}));
    m.apply({0x6C, 0x27, 0x30, 0x31, 0x41, 0x43, 0x80});
    QCOMPARE(m.cells[0][1], (sim::Cell{0x80, false, false}));
    m.apply({0x6C, 0x2B});
    for (const auto &row : m.cells)
        for (const sim::Cell &c : row)
            QCOMPARE(c, sim::Cell{});
    // A telegram cut short after the position code does not write anywhere.
    m.apply({0x6C, 0x27, 0x33});
    QCOMPARE(m.cells[3][0], sim::Cell{});
}

void UnitTest::decodesLedTelegrams()
{
    UnitModel m;
    m.apply({0x31});
    m.apply({0x3C});
    m.apply({0x56});
    QCOMPARE(m.leds[0], Led::On);
    QCOMPARE(m.leds[11], Led::On);
    QCOMPARE(m.leds[5], Led::Blink);
    m.apply({0x4C});
    QCOMPARE(m.leds[11], Led::Off);
    m.apply({0x40});
    for (Led l : m.leds)
        QCOMPARE(l, Led::Off);
    QCOMPARE(sim::describeTelegram({0x56}, false), std::string("LED 6 blinking"));
    QCOMPARE(sim::describeTelegram({0x47}, true), std::string("selector 1 at 7"));
}

void UnitTest::keysAndSelectorsReachTheTool()
{
    test::ToolOnLine tool;
    sim::UnitWindow unit(tool.unit(), tool.line.device());
    unit.show();
    tool.start();
    unit.selector(2)->setValue(4);
    QTRY_COMPARE(tool.label("lblWS2"), QStringLiteral("4"));
    // The status reply is the unit's own state: no key, selectors at 1 and 4.
    tool.window.mnuReset_Click();
    QCOMPARE(tool.label("lblWS1"), QStringLiteral("1"));
    QCOMPARE(tool.label("lblWS2"), QStringLiteral("4"));

    QTest::mousePress(unit.keyButton(7), Qt::LeftButton);
    QTRY_VERIFY(tool.mark(7)->filled());
    QCOMPARE(unit.statusReply(), (Bytes{0x38, 0x41, 0x54}));
    QTest::mouseRelease(unit.keyButton(7), Qt::LeftButton);
    QTRY_VERIFY(!tool.mark(7)->filled());
    unit.selector(1)->setValue(12);
    QTRY_COMPARE(tool.label("lblWS1"), QStringLiteral("12"));
    QTRY_VERIFY(unit.logView()->toPlainText().contains("selector 1 at 12"));
    QVERIFY(tool.watcher.messages.isEmpty());
}

void UnitTest::commandLine()
{
    QProcess p;
    p.start(QStringLiteral(KELM_UNIT_BIN), {QStringLiteral("--help")});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(p.readAllStandardOutput().contains("Usage: kelm-unit"));

    p.start(QStringLiteral(KELM_UNIT_BIN), {QStringLiteral("/nonexistent/ttyKELM")});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 1);
    QVERIFY(p.readAllStandardError().contains("cannot open /nonexistent/ttyKELM"));
}

void UnitTest::launcherEndsWithTheTool()
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(KELM_DEMO_BIN),
            {QStringLiteral("--ok"), QStringLiteral("--quit-after"), QStringLiteral("1500")});
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
}

QTEST_MAIN(UnitTest)
#include "tst_unit.moc"
