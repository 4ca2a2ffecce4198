// The continuous test against the simulated unit, and its demonstration-mode chase.
#include "ToolOnLine.h"
#include "device/KELM.h"

#include <QElapsedTimer>
#include <QTimer>

using namespace kelm;
using sim::Bytes;
using test::ToolOnLine;

namespace {
const Bytes kClear{0x6C, 0x2B};
const Bytes kAllOff{0x40};

bool isChar(const Bytes &t)
{
    return t.size() == 7 && t[0] == 0x6C && t[1] == 0x27;
}

std::vector<Bytes> chars(const std::vector<Bytes> &all)
{
    std::vector<Bytes> out;
    for (const Bytes &t : all)
        if (isChar(t))
            out.push_back(t);
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
} // namespace

class DauertestTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("KELM")); }

    void oneCycleInOrder()
    {
        test::SkippingClock clock;
        ToolOnLine tool(clock);
        tool.start();
        tool.unit().clearLogs();
        stopWhen(tool, [&] { return chars(tool.received()).size() >= 512; });
        tool.window.mnuDauertest_Click();

        QVERIFY(!tool.menu("mnuDauertest")->isChecked());
        QVERIFY2(tool.watcher.messages.isEmpty(), qPrintable(tool.watcher.messages.join("|")));
        const std::vector<Bytes> all = tool.received();
        // Display clear and all LEDs off first, then the cycle's own LEDs off.
        QCOMPARE(all[0], kClear);
        QCOMPARE(all[1], kAllOff);
        QCOMPARE(all[2], kAllOff);
        const std::vector<Bytes> c = chars(all);
        QVERIFY(c.size() >= 512);
        QCOMPARE(c[0], (Bytes{0x6C, 0x27, 0x30, 0x30, 0x41, 0x43, 0x80}));
        QCOMPARE(c[511], (Bytes{0x6C, 0x27, 0x37, 0x3F, 0x40, 0x42, 0xFF}));
        // Passes: normal, inverse, blinking, inverse and blinking; codes 0x80 + 16 × line + column.
        const std::uint8_t attrs[4][2] = {{0x41, 0x43}, {0x40, 0x43}, {0x41, 0x42}, {0x40, 0x42}};
        for (int i = 0; i < 512; ++i) {
            const int pass = i / 128, pos = i % 128;
            QCOMPARE(c[i][2], std::uint8_t(0x30 + pos / 16));
            QCOMPARE(c[i][3], std::uint8_t(0x30 + pos % 16));
            QCOMPARE(c[i][4], attrs[pass][0]);
            QCOMPARE(c[i][5], attrs[pass][1]);
            QCOMPARE(c[i][6], std::uint8_t(0x80 + pos));
        }
        // The LED chase: after each character one LED toggles, 0 to 11 lit, then 0 to 11 unlit.
        QCOMPARE(all[4], Bytes{0x31});
        QCOMPARE(all[3 + 2 * 12 + 1], Bytes{0x41});
        // Stopped: the nested click's display clear, then the test's own clear and all LEDs off.
        // The click is taken at whichever wait of the test comes next (a character's or an LED
        // step's line wait, the next cycle's LEDs off), so characters and LED telegrams may still
        // follow the nested clear, and nothing else may.
        QCOMPARE(all[all.size() - 2], kClear);
        QCOMPARE(all.back(), kAllOff);
        const auto tail = all.end() - 2;
        const auto nested = std::find(std::make_reverse_iterator(tail), all.rend(), kClear);
        QVERIFY(nested != all.rend() && nested.base() - 1 != all.begin());
        for (auto it = nested.base(); it != tail; ++it)
            QVERIFY(isChar(*it) || it->size() == 1);
        // The unit shows the last pass, and the screen's boxes are unlocked and empty again.
        QVERIFY(tool.displayLine(1)->isEnabled());
        QCOMPARE(tool.displayLine(1)->text(), QString());
    }

    void eachCharacterTakesAtLeast300ms()
    {
        ToolOnLine tool;
        tool.start();
        tool.unit().clearLogs();
        bool locked = false;
        QStringList notice;
        Qt::Alignment alignment;
        QElapsedTimer t;
        stopWhen(tool, [&] {
            if (chars(tool.received()).size() == 1 && !t.isValid()) {
                t.start();
                locked = !tool.displayLine(0)->isEnabled();
                for (int n = 0; n < 8; ++n)
                    notice << tool.displayLine(n)->text();
                alignment = tool.displayLine(1)->alignment();
            }
            return chars(tool.received()).size() >= 4;
        });
        tool.window.mnuDauertest_Click();
        const qint64 ms = t.elapsed();
        QVERIFY2(ms >= 3 * 300 - 20, qPrintable(QString::number(ms)));
        QVERIFY(locked);
        QCOMPARE(notice, (QStringList{"", "Dauertest", "", "Display", "", "wird NICHT", "",
                                      "aktualisiert"}));
        QVERIFY(alignment & Qt::AlignHCenter);
        QCOMPARE(tool.received().back(), kAllOff);
        QCOMPARE(tool.displayLine(1)->alignment() & Qt::AlignHCenter, Qt::Alignment());
    }

    void digitTwoEndsQuietly()
    {
        test::SkippingClock clock;
        ToolOnLine tool(clock);
        tool.start();
        tool.unit().clearLogs();
        tool.unit().setAckDigit('2');
        tool.window.mnuDauertest_Click();
        QVERIFY(tool.watcher.messages.isEmpty());
        QVERIFY(tool.menu("mnuDauertest")->isChecked());
        QCOMPARE(chars(tool.received()).size(), std::size_t(1));
        QCOMPARE(tool.received().back(), kAllOff);
        QVERIFY(!tool.window.demoMode());
        // The next click removes the tick and clears the display instead of starting again.
        tool.unit().setAckDigit('1');
        tool.unit().clearLogs();
        tool.window.mnuDauertest_Click();
        QVERIFY(!tool.menu("mnuDauertest")->isChecked());
        QCOMPARE(tool.received(), std::vector<Bytes>{kClear});
    }

    void missingAcknowledgementFails()
    {
        test::SkippingClock clock;
        ToolOnLine tool(clock);
        tool.start();
        tool.unit().setAckDigit('0'); // acknowledged, but never as carried out
        tool.window.setDauertestTicked(false);
        QElapsedTimer t;
        t.start();
        // The first display clear already waits in vain; the characters' wait is 10 s.
        tool.window.mnuDauertest_Click();
        QVERIFY(t.elapsed() >= 10000 && t.elapsed() < 13000);
        QCOMPARE(tool.watcher.messages, QStringList{"Fehler beim Senden"});
        QVERIFY(tool.window.demoMode());
        QVERIFY(!tool.menu("mnuDauertest")->isChecked());
        QCOMPARE(chars(tool.received()).size(), std::size_t(1));
    }

    void failedCharacterSendEndsTheTest()
    {
        test::SkippingClock clock;
        ToolOnLine tool(clock);
        tool.start();
        tool.unit().clearLogs();
        // Display clear, LEDs off twice, then four characters each with its LED step: the unit
        // refuses everything from the fifth character on.
        tool.unit().nakFromBlock(3 + 4 * 2);
        tool.window.mnuDauertest_Click();
        // The sender's message, then the test's own; no clear or LEDs off follow.
        QCOMPARE(tool.watcher.messages, (QStringList{"Fehler beim Senden", "Fehler beim Senden"}));
        QVERIFY(tool.window.demoMode());
        QVERIFY(!tool.menu("mnuDauertest")->isChecked());
        QCOMPARE(tool.received().size(), std::size_t(11));
        QCOMPARE(chars(tool.received()).size(), std::size_t(4));
    }

    void demoChase()
    {
        ToolOnLine tool;
        tool.start({"btnDemo"});
        int litWhenStopped = -1;
        QElapsedTimer t;
        t.start();
        stopWhen(tool, [&] {
            if (t.elapsed() < 1700)
                return false;
            litWhenStopped = 0;
            for (int k = 0; k < 12; ++k)
                litWhenStopped += tool.window.ledLit(k);
            return true;
        });
        tool.window.mnuDauertest_Click();
        // Lit at 0, 0.5, 1.0 and 1.5 s.
        QCOMPARE(litWhenStopped, 4);
        QVERIFY(tool.window.ledLit(3) && !tool.window.ledLit(4));
        QVERIFY(tool.unit().bytesFromTool().empty());
        QVERIFY(tool.displayLine(1)->isEnabled());
        QCOMPARE(tool.displayLine(1)->text(), QString());
        QVERIFY(tool.watcher.messages.isEmpty());
    }
};

QTEST_MAIN(DauertestTest)
#include "tst_dauertest.moc"
