// The monitor window: grid geometry, what a redraw shows, the cursor, and the menu tick.
#include "TestSupport.h"
#include "app/frmKELM.h"
#include "monitor/V24Mon.h"

#include <QAction>
#include <QTest>

using namespace kelm;

namespace {
// Colour at the centre of band `direction` of cell p, read from the monitor's picture.
QColor cellColour(const V24Mon &m, int p, int direction, int dy = 0)
{
    const MonitorGrid &g = m.grid();
    const int x = (g.cellLeft(p) + 20) / 15;
    const int y = (g.rowTop(p) + direction * 300 + 280) / 15 + dy;
    return m.picture().pixelColor(x, y);
}

bool cellHasText(const V24Mon &m, int p, int direction)
{
    const MonitorGrid &g = m.grid();
    const QColor band = direction ? QColor(192, 192, 192) : QColor(0, 128, 0);
    const QRect r(g.cellLeft(p) / 15 + 1, (g.rowTop(p) + direction * 300) / 15 + 1, 14, 18);
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (m.picture().pixelColor(x, y) != band)
                return true;
    return false;
}
// Pixels of cell p's PC band that carry ink, in its upper part (the character or the hex
// digits) or its lower part (the note under hex digits).
int ink(const QImage &picture, const MonitorGrid &g, int p, bool lower)
{
    int pixels = 0;
    const int top = (g.rowTop(p) + (lower ? 180 : 0)) / 15 + 1;
    const int bottom = (g.rowTop(p) + (lower ? 300 : 180)) / 15;
    for (int x = g.cellLeft(p) / 15 + 1; x < (g.cellLeft(p) + 250) / 15; ++x)
        for (int y = top; y < bottom; ++y)
            pixels += picture.pixelColor(x, y) != QColor(0, 128, 0);
    return pixels;
}
} // namespace

class MonitorWindowTest : public QObject
{
    Q_OBJECT

private slots:

    void gridFromArea_data()
    {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<int>("cols");
        QTest::addColumn<int>("rows");
        QTest::newRow("as designed") << 5745 << 5265 << 20 << 7;
        QTest::newRow("tiny") << 15 << 15 << 1 << 1;
        QTest::newRow("full hd") << 1920 * 15 << 1080 * 15 << 112 << 24;
    }

    void gridFromArea()
    {
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(int, cols);
        QFETCH(int, rows);
        const MonitorGrid g = MonitorGrid::forArea(w, h);
        QCOMPARE(g.cols, cols);
        QCOMPARE(g.rows, rows);
        QCOMPARE(g.cellLeft(cols + 1), cols > 1 ? 650 + 250 : 650);
        QCOMPARE(g.rowTop(cols), 660);
    }

    void redrawShowsNewestRecords()
    {
        V24Mon m;
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        QCOMPARE(m.grid().cols, 20);
        QCOMPARE(m.grid().rows, 7);
        for (int i = 0; i < 500; ++i)
            m.V24MonWriteBuf(i % 2, std::uint8_t(i));
        m.Form_Resize();
        QCOMPARE(m.CursorPos(), 139);
        // Cell 0 holds the oldest of the newest 139 records.
        QCOMPARE(m.RedrawFrom(), 500 - 139);
        QCOMPARE(cellColour(m, 139, 0), QColor(0, 64, 0));
        QCOMPARE(cellColour(m, 139, 1), QColor(128, 128, 128));
        QCOMPARE(cellColour(m, 0, 0), QColor(0, 128, 0));
        // Record 361 came from the unit, so its text is in the unit band of cell 0.
        QVERIFY(cellHasText(m, 0, 1));
        QVERIFY(!cellHasText(m, 0, 0));
    }

    void appendDrawsTwoCellsAndWraps()
    {
        V24Mon m;
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        const int cells = m.grid().cells();
        for (int i = 0; i < cells - 1; ++i)
            m.V24MonWriteBuf(0, 'A');
        QCOMPARE(m.CursorPos(), cells - 1);
        m.V24MonWriteBuf(1, 'B');
        QCOMPARE(m.CursorPos(), 0);
        QVERIFY(cellHasText(m, cells - 1, 1));
        QCOMPARE(cellColour(m, 0, 0), QColor(0, 64, 0));
        QCOMPARE(m.cellsDrawnSinceRedraw(), cells);
        // A window too small for one cell still has a 1 × 1 grid, and appends go to cell 0.
        m.resize(40, 60);
        QTRY_COMPARE(m.grid().cells(), 1);
        m.V24MonWriteBuf(0, 'C');
        QCOMPARE(m.CursorPos(), 0);
    }

    void printableBytesShowAsCharacters_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<bool>("printable");
        QTest::newRow("0x02") << 0x02 << false;
        QTest::newRow("0x1F") << 0x1F << false;
        QTest::newRow("blank") << 0x20 << true;
        QTest::newRow("A") << 0x41 << true;
        QTest::newRow("~") << 0x7E << true;
        QTest::newRow("0x7F") << 0x7F << false;
    }

    // In the ASCII view a printable byte is its one character, any other byte its two hex digits
    // as in the hex view.
    void printableBytesShowAsCharacters()
    {
        QFETCH(int, value);
        QFETCH(bool, printable);
        V24Mon m;
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        m.V24MonWriteBuf(0, std::uint8_t(value));
        const QRect cell(m.grid().cellLeft(0) / 15, 0, 16, 20);
        const QImage ascii = m.picture().copy();
        m.mnuShowHex_Click();
        const QImage hex = m.picture().copy();
        QCOMPARE(ascii.copy(cell) != hex.copy(cell), printable);
        QVERIFY(ink(hex, m.grid(), 0, false) > 0);
        if (printable && value != 0x20) {
            // The character alone, without a note under it; the hex view adds the note.
            QVERIFY(ink(ascii, m.grid(), 0, false) > 0);
            QCOMPARE(ink(ascii, m.grid(), 0, true), 0);
            QVERIFY(ink(hex, m.grid(), 0, true) > 0);
        }
    }

    void clearEmptiesGrid()
    {
        V24Mon m;
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        for (int i = 0; i < 30; ++i)
            m.V24MonWriteBuf(1, 'x');
        m.MnuClear_Click();
        QCOMPARE(m.record().count(), 0);
        QCOMPARE(m.CursorPos(), 0);
        QVERIFY(!cellHasText(m, 1, 1));
        m.V24MonWriteBuf(0, 2);
        m.V24MonWriteBuf(0, 3);
        m.V24MonWriteBuf(0, 4);
        QCOMPARE(m.record().count(), 3);
        QCOMPARE(m.record().BufValue[0], std::uint8_t(2));
    }

    void menuTickFollowsWindow()
    {
        frmKELM main;
        main.setEndTool([] {});
        auto *entry = main.findChild<QAction *>("mnuMonitorEA");
        QVERIFY(entry);
        QVERIFY(!main.hasMonitor());
        entry->trigger();
        QVERIFY(entry->isChecked());
        QVERIFY(main.V24Monitor().isVisible());
        entry->trigger();
        QVERIFY(!entry->isChecked());
        QVERIFY(!main.V24Monitor().isVisible());

        entry->trigger();
        main.V24Monitor().V24MonWriteBuf(0, 0x31);
        main.V24Monitor().close(); // the title bar's close box
        QVERIFY(!entry->isChecked());
        main.V24Monitor().V24MonWriteBuf(0, 0x32); // not recorded while hidden
        entry->trigger();
        QVERIFY(main.V24Monitor().isVisible());
        QCOMPARE(main.V24Monitor().record().count(), 1);
        QVERIFY(cellHasText(main.V24Monitor(), 0, 0));
        main.V24Monitor().MnuExit_Click();
        QVERIFY(!entry->isChecked());
    }
};

QTEST_MAIN(MonitorWindowTest)
#include "tst_monitorwindow.moc"
