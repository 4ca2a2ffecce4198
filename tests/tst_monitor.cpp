// The traffic monitor: its window's grid, what a redraw shows, the two views and the menu tick;
// its log files, byte for byte, and what happens when one cannot be written.
#include "ToolOnLine.h"
#include "monitor/LogFormat.h"
#include "monitor/V24Mon.h"

#include <QDir>
#include <QMenuBar>
#include <QPainter>
#include <cstring>

using namespace kelm;

namespace {
const QByteArray kRule(65, '-');

QByteArrayList lines(const QByteArray &file)
{
    QByteArrayList out = file.split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    if (!std::ranges::all_of(out, [](const QByteArray &l) { return l.endsWith('\r'); }))
        return {}; // every line must end with CR LF
    for (QByteArray &l : out)
        l.chop(1);
    return out;
}
// Whether cell p's band (0 the PC's, 1 the unit's) carries ink within `area`, in twips from the
// band's corner; by default where its text goes. With `inkGray`, only ink near that grey counts.
bool cellHasText(const V24Mon &m, int p, int direction = 0, QRect area = {0, 0, 225, 285},
                 int inkGray = -1)
{
    const QColor band = direction ? QColor(192, 192, 192) : QColor(0, 128, 0);
    area.translate(m.grid().cellLeft(p), m.grid().rowTop(p) + direction * 300);
    for (int x = area.left() / 15 + 1; x < (area.left() + area.width()) / 15; ++x)
        for (int y = area.top() / 15 + 1; y < (area.top() + area.height()) / 15; ++y)
            if (const QColor c = m.picture().pixelColor(x, y);
                c != band && (inkGray < 0 || std::abs(qGray(c.rgb()) - inkGray) < 50))
                return true;
    return false;
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
        QTest::addColumn<QSize>("area"); // in twips
        QTest::addColumn<QSize>("grid"); // columns and rows
        QTest::newRow("as designed") << QSize(5745, 5265) << QSize(20, 7);
        QTest::newRow("tiny") << QSize(15, 15) << QSize(1, 1);
        // Three cells and two rows with both their bands fit exactly; a twip less, one fewer.
        QTest::newRow("exactly") << QSize(650 + 3 * 250, 300 + 2 * 660) << QSize(3, 2);
        QTest::newRow("a twip short") << QSize(649 + 3 * 250, 299 + 2 * 660) << QSize(2, 1);
        QTest::newRow("full hd") << QSize(1920 * 15, 1080 * 15) << QSize(112, 24);
    }

    void gridFromArea()
    {
        QFETCH(QSize, area);
        QFETCH(QSize, grid);
        const MonitorGrid g = MonitorGrid::forArea(area.width(), area.height());
        QCOMPARE(std::tuple(QSize(g.cols, g.rows), g.cellLeft(g.cols + 1), g.rowTop(g.cols)),
                 std::tuple(grid, g.cols > 1 ? 650 + 250 : 650, 660));
    }

    // A redraw shows the newest records that fit, from cell 0; appends then draw on and wrap;
    // a clear empties record and grid.
    void redrawAppendAndClear()
    {
        V24Mon m;
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        const int cells = m.grid().cells();
        const QSize size = m.size();
        QCOMPARE(cells, 140);
        // Once round the ring and on: the records shown run across its last slot to its first.
        const int written = TrafficRecord::kSlots + 50;
        for (int i = 0; i < written; ++i)
            m.V24MonWriteBuf(i % 2, std::uint8_t(i));
        m.Form_Resize();
        QCOMPARE(m.CursorPos(), cells - 1);
        QCOMPARE(m.RedrawFrom(), (written - (cells - 1)) % TrafficRecord::kSlots);
        // The oldest shown came from the unit: its text is in the unit band of cell 0, in black.
        QVERIFY(cellHasText(m, 0, 1, {0, 0, 225, 285}, 0) && !cellHasText(m, 0, 0));
        // Cell 90 shows the ring's slot 1, a record from the unit as well.
        QVERIFY(cellHasText(m, 90, 1, {0, 0, 225, 285}, 0) && !cellHasText(m, 90, 0));
        m.V24MonWriteBuf(0, 'B');
        QCOMPARE(std::tuple(m.CursorPos(), m.cellsDrawnSinceRedraw()), std::tuple(0, 1));
        QVERIFY(cellHasText(m, cells - 1, 0, {0, 0, 225, 285}, 255)); // white on green
        m.findChild<QAction *>("MnuClear")->trigger();
        QCOMPARE(std::tuple(m.record().count(), m.CursorPos()), std::tuple(0, 0));
        QVERIFY(!cellHasText(m, cells - 1, 0) && !cellHasText(m, cells - 1, 1));
        // The cursor's cell in each band's darker shade, the next in the band's own, on the
        // dark ground.
        auto colour = [&m](int p, int band) {
            const int x = m.grid().cellLeft(p) + 125, y = m.grid().rowTop(p) + 150 + 300 * band;
            return m.picture().pixelColor(x / 15, y / 15).name();
        };
        const QImage &shown = m.picture();
        QCOMPARE(QStringList({colour(0, 0), colour(0, 1), colour(1, 0), colour(1, 1),
                              shown.pixelColor(1, 1).name(),
                              shown.pixelColor(shown.width() - 1, shown.height() - 1).name()}),
                 QStringList({"#004000", "#808080", "#008000", "#c0c0c0", "#404040", "#404040"}));
        // Each band's label, white on the window's dark ground left of the bands.
        for (int top : {40, 340}) {
            bool white = false;
            for (int x = 50 / 15; x < 550 / 15; ++x)
                for (int y = top / 15; y < (top + 260) / 15; ++y)
                    white |= m.picture().pixelColor(x, y).lightness() >= 200;
            QVERIFY2(white, qPrintable(QString::number(top)));
        }
        // A window too small for one cell still has a 1 × 1 grid, and appends go to cell 0.
        m.resize(40, 60);
        QTRY_COMPARE(m.grid().cells(), 1);
        m.V24MonWriteBuf(0, 'C');
        QCOMPARE(m.CursorPos(), 0);
        // Redrawn too small to show any record, then large again: the window shows its records
        // from the oldest once more.
        m.Form_Resize();
        QCOMPARE(m.RedrawFrom(), 1);
        m.resize(size);
        QTRY_COMPARE(m.grid().cells(), cells);
        QCOMPARE(std::tuple(m.RedrawFrom(), m.CursorPos()), std::tuple(0, 1));
        QVERIFY(cellHasText(m, 0, 0) && !cellHasText(m, 0, 1));
    }

    // Bytes with a word or a character under their hex digits, then bytes without.
    void printableBytesShowAsCharacters_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("note");
        // The byte in hex, then its note; a space's note is a space.
        for (const QString row : {"02 STX", "03 ETX", "10 DLE", "15 NAK", "41 A", "7E ~", "20  ",
                                  "04", "11", "1F", "7F"})
            QTest::newRow(qPrintable("0x" + row.left(2)))
                << row.left(2).toInt(nullptr, 16) << row.mid(3);
    }

    // In the ASCII view a printable byte is its one character, any other byte its two hex
    // digits as in the hex view.
    void printableBytesShowAsCharacters()
    {
        QFETCH(int, value);
        QFETCH(QString, note);
        const bool printable = value >= 0x20 && value < 0x7F;
        V24Mon m;
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        m.V24MonWriteBuf(0, std::uint8_t(value));
        const QRect cell(m.grid().cellLeft(0) / 15, 0, 16, 20);
        const QImage ascii = m.picture().copy(cell);
        // The character or the hex digits above, a note under them below.
        const QRect upper(0, 0, 250, 180), lower(0, 180, 250, 120);
        // The character alone, without a note under it; the hex view adds the note.
        if (printable && value != 0x20)
            QVERIFY(cellHasText(m, 0, 0, upper) && !cellHasText(m, 0, 0, lower));
        QAction *hexEntry = m.findChild<QAction *>("mnuShowHex"),
                *asciiEntry = m.findChild<QAction *>("mnuShowASCII");
        hexEntry->trigger();
        QVERIFY(hexEntry->isChecked() && !asciiEntry->isChecked()); // one view ticked at a time
        QCOMPARE(ascii != m.picture().copy(cell), printable);
        QVERIFY(cellHasText(m, 0, 0, upper));
        QCOMPARE(cellHasText(m, 0, 0, lower), !note.trimmed().isEmpty());
        // The hex digits at 8 points, the note at 5 (in twips, 20 a point), in Arial by name.
        test::PaintLog log(100, 100);
        QPainter painter(&log);
        m.V24MonDrawByte(painter, 0, std::uint8_t(value), 0);
        painter.end();
        QString drawn;
        for (const QString &line : std::as_const(log.lines))
            drawn += line.section(" bold", 0, 0) + ' ';
        QCOMPARE(drawn, QString::asprintf("text \"%02X\" 160px Arial ", value) +
                            (note.isEmpty() ? "" : "text \"" + note + "\" 100px Arial "));
        asciiEntry->trigger(); // and back at once, not at the next redraw
        QVERIFY(asciiEntry->isChecked() && !hexEntry->isChecked());
        QCOMPARE(m.picture().copy(cell), ascii);
    }

    void menuTickFollowsWindow()
    {
        test::MainWindow main;
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
        QVERIFY(main.V24Monitor().isVisible());
        main.V24Monitor().MnuExit_Click();
        QVERIFY(!entry->isChecked() && !main.V24Monitor().isVisible());
    }

    // Each body ends with a rule; the rows give the lines before it.
    void formats_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("records"); // direction and value, pair by pair
        QTest::addColumn<QByteArrayList>("body");
        auto row = [](const char *name, SaveKind kind, const QByteArray &rec, QByteArrayList body) {
            QTest::newRow(name) << int(kind) << rec << (body << kRule);
        };
        const QByteArray three = test::bytes({0, 2, 1, 16, 0, 0x41});
        row("hex", SaveKind::Hex, three, {"PC:  02    41 ", "KELM:    10    "});
        // Plain: a new exchange opens no new block.
        row("ascii", SaveKind::Ascii, three + test::bytes({0, 2, 1, 16}),
            {"PC:  02    A  02    ", "KELM:    10       10 "});
        row("outside printable", SaveKind::Ascii, test::bytes({0, 0x7F, 0, 0x80, 0, 0x7E, 0, 0x1F}),
            {"PC:  7F 80 ~  1F ", "KELM: " + QByteArray(12, ' ')});
        // Each exchange is opened by the PC's STX and the unit's DLE.
        row("structured, two exchanges", SaveKind::HexStructured,
            test::bytes({0, 2, 1, 16, 0, 0x31, 0, 16, 0, 3, 0, 0x22, 1, 16,
                         0, 2, 1, 16, 0, 0x32, 0, 16, 0, 3, 0, 0x21, 1, 16}),
            {"PC:  02    31 10 03 22    ", "KELM:    10             10 ", kRule,
             "PC:  02    32 10 03 21    ", "KELM:    10             10 "});
        row("structured, STX answered from the same side", SaveKind::AsciiStructured,
            test::bytes({0, 0x31, 0, 2, 0, 16}), {"PC:  1  02 10 ", "KELM: " + QByteArray(9, ' ')});
        row("blank is three blanks", SaveKind::AsciiStructured, test::bytes({0, 0x20, 1, 0x41}),
            {"PC:        ", "KELM:    A  "});
        row("empty", SaveKind::AsciiStructured, {}, {"PC:  ", "KELM: "});
        row("unit alone", SaveKind::Ascii, test::bytes({1, 0x41}), {"PC:     ", "KELM: A  "});
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
        QCOMPARE(l, (QByteArrayList{"Date: 06.12.26         Time: 12:00:00", kRule} + body));
    }

    // The ring keeps the newest 9,899 records; the log lists them oldest first, twenty to a line.
    void hexLogOfTheRing()
    {
        TrafficRecord r;
        QByteArray expected;
        for (int i = 0; i < 9899 + 21; ++i) {
            r.append(0, std::uint8_t(i % 251));
            if (i >= 21)
                expected += V24MonHex(std::uint8_t(i % 251)) + ' ';
        }
        auto l = lines(formatLog(r, SaveKind::Hex, "d", "t"));
        // The ring's count, and the log's lines: 494 full pairs and one of 19.
        QCOMPARE(std::tuple(r.count(), l.size()), std::tuple(9899, 2 + 495 * 3));
        QByteArray all;
        for (int i = 2; i < l.size(); i += 3)
            all += l[i].mid(5);
        QCOMPARE(all, expected);
        // Emptied, it starts afresh; both directions share the columns of a pair of lines.
        r.clear();
        QVERIFY(r.isEmpty());
        for (int i = 0; i < 45; ++i)
            r.append(i % 3 == 0, std::uint8_t(i));
        l = lines(formatLog(r, SaveKind::Hex, "d", "t"));
        QCOMPARE(l.size(), 2 + 3 * 3);
        QCOMPARE((QList{l[2].size(), l[3].size(), l[8].size(), l[9].size()}),
                 (QList<qsizetype>{65, 66, 5 + 5 * 3, 6 + 5 * 3}));
        QVERIFY(l[2].startsWith("PC:     01 02    04 "));
        QVERIFY(l[3].startsWith("KELM: 00       03    "));
    }

    // Each row's name is the locale.
    void headDateFitsTheFile_data()
    {
        QTest::addColumn<bool>("iso");
        QTest::newRow("de_DE") << false;
        QTest::newRow("ar_EG") << true;
        QTest::newRow("my_MM") << true;
    }

    // A date the file cannot hold byte for byte would come out as question marks: ISO then.
    void headDateFitsTheFile()
    {
        QFETCH(bool, iso);
        const QLocale l(QTest::currentDataTag());
        const QDate date(2026, 12, 7);
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
        // The limit is lifted before a failure is reported.
        const bool written = [&] {
            test::FileSizeLimit limit(300);
            return writeLogFile(path, QByteArray(1200, 'x'), &error);
        }();
        QVERIFY2(!written && error.contains("large", Qt::CaseInsensitive), qPrintable(error));
        QCOMPARE(test::readFile(path), QByteArray("old log"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"log.txt"});
        // A device is written into, not replaced, and its refusal is a failure too.
        error.clear();
        QVERIFY(!writeLogFile("/dev/full", "x", &error));
        QCOMPARE(error, QString::fromLocal8Bit(std::strerror(ENOSPC)));
        QVERIFY(!writeLogFile(dir.path(), "x", &error)); // a folder in the file's place
        QCOMPARE(error, QString::fromLocal8Bit(std::strerror(EISDIR)));
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
        QVERIFY(watcher.messages.size() == 1 && watcher.messages[0].contains("log.txt"));
        QCOMPARE(monitor.record().count(), 2);
        // A cancelled dialog writes nothing and says nothing.
        monitor.setFileNameProvider([] { return QString(); });
        QVERIFY(monitor.V24MonSave(SaveKind::Hex));
        monitor.setFileNameProvider([&] { return dir.filePath("log.txt"); });
        QVERIFY(monitor.V24MonSave(SaveKind::Ascii));
        QCOMPARE(lines(test::readFile(dir.filePath("log.txt"))).value(2),
                 QByteArray("PC:  02    "));
        // The menu bar as the operator reads it; each save entry writes its own kind of log, told
        // apart by a printable byte and a second exchange.
        QStringList captions;
        for (QAction *menu : monitor.menuBar()->actions()) {
            captions << menu->text();
            for (QAction *entry : menu->menu() ? menu->menu()->actions() : QList<QAction *>())
                captions << "  " + entry->text();
        }
        QCOMPARE(captions,
                 (QStringList{"&File", "  Save as &HEX", "  Save as H&EX Structured ",
                              "  Save as &ASCII", "  Save as A&SCII Structured", "  &Exit", "&View",
                              "  ...as &ASCII", "  ...as &HEX", "!&Clear Data"}));
        for (int value : {0x41, 2})
            monitor.V24MonWriteBuf(0, std::uint8_t(value));
        monitor.V24MonWriteBuf(1, 16);
        const QList<QAction *> saves = monitor.menuBar()->actions().first()->menu()->actions();
        for (int i = 0; i < 4; ++i) { // in the order of SaveKind
            saves[i]->trigger();
            QCOMPARE(lines(test::readFile(dir.filePath("log.txt"))).mid(2),
                     lines(formatLog(monitor.record(), SaveKind(i), "", "")).mid(2));
        }
        QCOMPARE(watcher.messages.size(), 1);
    }
};

QTEST_MAIN(MonitorTest)
#include "tst_monitor.moc"
