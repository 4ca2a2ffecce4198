// The traffic monitor: its window's grid, what a redraw shows, the two views and the menu tick;
// its log files, byte for byte, and what happens when one cannot be written.
#include "TestSupport.h"
#include "app/frmKELM.h"
#include "monitor/LogFormat.h"
#include "monitor/V24Mon.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kelm;

namespace {
const QByteArray kRule(65, '-');

QByteArrayList lines(const QByteArray &file)
{
    QByteArrayList out = file.split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    for (QByteArray &l : out) {
        if (!l.endsWith('\r'))
            return {}; // every line must end with CR LF
        l.chop(1);
    }
    return out;
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

class MonitorTest : public QObject
{
    Q_OBJECT

private slots:
    // Painting on a picture that is not there is a fault even where nothing shows it.
    void init() { QTest::failOnWarning(QRegularExpression("^QPainter")); }
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

    // A redraw shows the newest records that fit, from cell 0; appends then draw on and wrap;
    // a clear empties record and grid.
    void redrawAppendAndClear()
    {
        V24Mon m;
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        const int cells = m.grid().cells();
        QCOMPARE(cells, 140);
        for (int i = 0; i < 500; ++i)
            m.V24MonWriteBuf(i % 2, std::uint8_t(i));
        m.Form_Resize();
        QCOMPARE(m.CursorPos(), cells - 1);
        QCOMPARE(m.RedrawFrom(), 500 - (cells - 1));
        // Record 361 came from the unit: its text is in the unit band of cell 0.
        QVERIFY(cellHasText(m, 0, 1) && !cellHasText(m, 0, 0));
        m.V24MonWriteBuf(0, 'B');
        QCOMPARE(m.CursorPos(), 0);
        QVERIFY(cellHasText(m, cells - 1, 0));
        QCOMPARE(m.cellsDrawnSinceRedraw(), 1);
        m.MnuClear_Click();
        QCOMPARE(m.record().count(), 0);
        QCOMPARE(m.CursorPos(), 0);
        QVERIFY(!cellHasText(m, cells - 1, 0));
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
        QTest::addColumn<bool>("note"); // a word or the character under the hex digits
        QTest::newRow("STX") << 0x02 << false << true;
        QTest::newRow("ETX") << 0x03 << false << true;
        QTest::newRow("0x04") << 0x04 << false << false;
        QTest::newRow("DLE") << 0x10 << false << true;
        QTest::newRow("0x11") << 0x11 << false << false;
        QTest::newRow("NAK") << 0x15 << false << true;
        QTest::newRow("0x1F") << 0x1F << false << false;
        QTest::newRow("blank") << 0x20 << true << false;
        QTest::newRow("A") << 0x41 << true << true;
        QTest::newRow("~") << 0x7E << true << true;
        QTest::newRow("0x7F") << 0x7F << false << false;
    }

    // In the ASCII view a printable byte is its one character, any other byte its two hex
    // digits as in the hex view.
    void printableBytesShowAsCharacters()
    {
        QFETCH(int, value);
        QFETCH(bool, printable);
        QFETCH(bool, note);
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
        QCOMPARE(ink(hex, m.grid(), 0, true) > 0, note);
        if (printable && value != 0x20) {
            // The character alone, without a note under it; the hex view adds the note.
            QVERIFY(ink(ascii, m.grid(), 0, false) > 0);
            QCOMPARE(ink(ascii, m.grid(), 0, true), 0);
        }
    }

    void menuTickFollowsWindow()
    {
        frmKELM main;
        main.setEndTool([] {});
        auto *entry = main.findChild<QAction *>("mnuMonitorEA");
        main.V24Monitor().V24MonWriteBuf(0, 0x30); // not recorded while hidden
        entry->trigger();
        QVERIFY(entry->isChecked() && main.V24Monitor().isVisible());
        main.V24Monitor().V24MonWriteBuf(0, 0x31);
        main.V24Monitor().close(); // the title bar's close box
        QVERIFY(!entry->isChecked());
        main.V24Monitor().V24MonWriteBuf(0, 0x32);
        entry->trigger();
        QCOMPARE(main.V24Monitor().record().count(), 1);
        QVERIFY(cellHasText(main.V24Monitor(), 0, 0));
        entry->trigger();
        QVERIFY(!entry->isChecked() && !main.V24Monitor().isVisible());
        entry->trigger();
        main.V24Monitor().MnuExit_Click();
        QVERIFY(!entry->isChecked());
    }

    void formats_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("records"); // direction and value, pair by pair
        QTest::addColumn<QByteArrayList>("body");
        const QByteArray three = test::bytes({0, 2, 1, 16, 0, 0x41});
        QTest::newRow("hex") << int(SaveKind::Hex) << three
                             << QByteArrayList{"PC:  02    41 ", "KELM:    10    ", kRule};
        QTest::newRow("ascii") << int(SaveKind::Ascii) << three
                               << QByteArrayList{"PC:  02    A  ", "KELM:    10    ", kRule};
        QTest::newRow("outside printable")
            << int(SaveKind::Ascii) << test::bytes({0, 0x7F, 0, 0x80, 0, 0x7E, 0, 0x1F})
            << QByteArrayList{"PC:  7F 80 ~  1F ", "KELM: " + QByteArray(12, ' '), kRule};
        // Each exchange is opened by the PC's STX and the unit's DLE.
        QTest::newRow("structured, two exchanges")
            << int(SaveKind::HexStructured)
            << test::bytes({0, 2, 1, 16, 0, 0x31, 0, 16, 0, 3, 0, 0x22, 1, 16,
                            0, 2, 1, 16, 0, 0x32, 0, 16, 0, 3, 0, 0x21, 1, 16})
            << QByteArrayList{"PC:  02    31 10 03 22    ", "KELM:    10             10 ", kRule,
                              "PC:  02    32 10 03 21    ", "KELM:    10             10 ", kRule};
        QTest::newRow("structured, STX answered from the same side")
            << int(SaveKind::AsciiStructured) << test::bytes({0, 0x31, 0, 2, 0, 16})
            << QByteArrayList{"PC:  1  02 10 ", "KELM: " + QByteArray(9, ' '), kRule};
        QTest::newRow("blank is three blanks")
            << int(SaveKind::AsciiStructured) << test::bytes({0, 0x20, 1, 0x41})
            << QByteArrayList{"PC:        ", "KELM:    A  ", kRule};
        QTest::newRow("empty") << int(SaveKind::AsciiStructured) << QByteArray()
                               << QByteArrayList{"PC:  ", "KELM: ", kRule};
    }

    void formats()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, records);
        QFETCH(QByteArrayList, body);
        TrafficRecord r;
        for (qsizetype i = 0; i + 1 < records.size(); i += 2)
            r.append(std::uint8_t(records[i]), std::uint8_t(records[i + 1]));
        const QByteArrayList l = lines(formatLog(r, SaveKind(kind), "06.12.26", "12:00:00"));
        QCOMPARE(l.mid(0, 2), (QByteArrayList{"Date: 06.12.26         Time: 12:00:00", kRule}));
        QCOMPARE(l.mid(2), body);
    }

    void pairsOfTwenty()
    {
        TrafficRecord r;
        for (int i = 0; i < 45; ++i)
            r.append(i % 3 == 0, std::uint8_t(i));
        const auto l = lines(formatLog(r, SaveKind::Hex, "d", "t"));
        QCOMPARE(l.size(), 2 + 3 * 3);
        QCOMPARE(l[2].size(), 65);
        QCOMPARE(l[3].size(), 66);
        QCOMPARE(l[8].size(), 5 + 5 * 3);
        QCOMPARE(l[9].size(), 6 + 5 * 3);
        QVERIFY(l[2].startsWith("PC:     01 02    04 "));
        QVERIFY(l[3].startsWith("KELM: 00       03    "));
    }

    // The ring keeps the newest 9,899 records; the log lists them oldest first.
    void wrappedRing()
    {
        TrafficRecord r;
        for (int i = 0; i < 9899 + 21; ++i)
            r.append(0, std::uint8_t(i % 251));
        QCOMPARE(r.count(), 9899);
        const auto l = lines(formatLog(r, SaveKind::Hex, "d", "t"));
        QCOMPARE(l.size(), 2 + 495 * 3); // 494 full pairs and one of 19
        QByteArray all;
        for (int i = 2; i < l.size(); i += 3)
            all += l[i].mid(5);
        QByteArray expected;
        for (int i = 21; i < 9899 + 21; ++i)
            expected += V24MonHex(std::uint8_t(i % 251)) + ' ';
        QCOMPARE(all, expected);
        r.clear();
        QVERIFY(r.isEmpty());
        r.append(1, 0x41);
        QCOMPARE(lines(formatLog(r, SaveKind::Ascii, "d", "t")).value(3), QByteArray("KELM: A  "));
    }

    void headDateFitsTheFile_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<bool>("iso");
        QTest::newRow("German") << "de_DE" << false;
        QTest::newRow("Arabic") << "ar_EG" << true;
        QTest::newRow("Burmese") << "my_MM" << true;
    }

    // A date the file cannot hold byte for byte would come out as question marks: ISO then.
    void headDateFitsTheFile()
    {
        QFETCH(QString, locale);
        QFETCH(bool, iso);
        const QDate date(2026, 12, 7);
        const QLocale l(locale);
        const QString text = logDateText(date, l);
        QCOMPARE(text, iso ? QStringLiteral("2026-12-07") : l.toString(date, QLocale::ShortFormat));
        QVERIFY(!formatLog(TrafficRecord{}, SaveKind::Hex, text, "00:00:00").contains('?'));
    }

    // A file-size limit stands in for a full disk: the write fails part way, and the old file
    // stays as it was.
    void writeCutShortIsAFailure()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("log.txt");
        QString error;
        QVERIFY(writeLogFile(path, "old log", &error));
        bool written;
        {
            test::FileSizeLimit limit(300);
            written = writeLogFile(path, QByteArray(1200, 'x'), &error);
        }
        QVERIFY(!written);
        QVERIFY2(error.contains("large", Qt::CaseInsensitive), qPrintable(error));
        QCOMPARE(test::readFile(path), QByteArray("old log"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"log.txt"});
    }

    void saveReportsFailureAndKeepsRecord()
    {
        test::ModalWatcher watcher;
        V24Mon monitor;
        monitor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&monitor));
        monitor.V24MonWriteBuf(0, 2);
        monitor.V24MonWriteBuf(1, 16);
        QTemporaryDir dir;
        monitor.setFileNameProvider([&] { return dir.filePath("missing/log.txt"); });
        QVERIFY(!monitor.V24MonSave(SaveKind::Hex));
        QCOMPARE(watcher.messages.size(), 1);
        QVERIFY(watcher.messages[0].contains("log.txt"));
        QCOMPARE(monitor.record().count(), 2);
        // A cancelled dialog writes nothing and says nothing.
        monitor.setFileNameProvider([] { return QString(); });
        QVERIFY(monitor.V24MonSave(SaveKind::Hex));
        QCOMPARE(watcher.messages.size(), 1);
        const QString good = dir.filePath("log.txt");
        monitor.setFileNameProvider([&] { return good; });
        QVERIFY(monitor.V24MonSave(SaveKind::Ascii));
        QCOMPARE(lines(test::readFile(good)).value(2), QByteArray("PC:  02    "));
    }
};

QTEST_MAIN(MonitorTest)
#include "tst_monitor.moc"
