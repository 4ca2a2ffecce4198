// Log files, byte for byte, and what happens when one cannot be written.
#include "TestSupport.h"
#include "monitor/LogFormat.h"
#include "monitor/V24Mon.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kelm;

namespace {
const QByteArray kRule(65, '-');

QList<QByteArray> lines(const QByteArray &file)
{
    QList<QByteArray> out = file.split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    for (QByteArray &l : out) {
        if (!l.endsWith('\r'))
            return {}; // every line must end with CR LF
        l.chop(1);
    }
    return out;
}

TrafficRecord record(std::initializer_list<std::pair<int, int>> entries)
{
    TrafficRecord r;
    for (auto [d, v] : entries)
        r.append(std::uint8_t(d), std::uint8_t(v));
    return r;
}
} // namespace

class LogFormatTest : public QObject
{
    Q_OBJECT

private slots:
    void headLines();
    void headDateFitsTheFile_data();
    void headDateFitsTheFile();
    void threeRecords_data();
    void threeRecords();
    void pairsOfTwenty();
    void structuredPairsPerExchange();
    void bytesOutsidePrintableAreHex();
    void blankIsThreeBlanks();
    void wrappedRingListsNewestOldestFirst();
    void emptyRecordIsAComplete();
    void unwritablePathsAreReported_data();
    void unwritablePathsAreReported();
    void writeCutShortIsAFailure();
    void saveReportsFailureAndKeepsRecord();
};

void LogFormatTest::headLines()
{
    const auto l = lines(formatLog(TrafficRecord{}, SaveKind::Hex, "06.12.26", "12:00:00"));
    QCOMPARE(l.value(0), QByteArray("Date: 06.12.26         Time: 12:00:00"));
    QCOMPARE(l.value(1), kRule);
}

void LogFormatTest::headDateFitsTheFile_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("iso");
    QTest::newRow("German") << "de_DE" << false;
    QTest::newRow("English") << "en_US" << false;
    QTest::newRow("Arabic") << "ar_EG" << true;
    QTest::newRow("Persian") << "fa_IR" << true;
    QTest::newRow("Burmese") << "my_MM" << true;
}

// A date the file cannot hold byte for byte would come out as question marks: ISO digits then.
void LogFormatTest::headDateFitsTheFile()
{
    QFETCH(QString, locale);
    QFETCH(bool, iso);
    const QDate date(2026, 12, 7);
    const QLocale l(locale);
    const QString text = logDateText(date, l);
    QCOMPARE(text, iso ? QStringLiteral("2026-12-07") : l.toString(date, QLocale::ShortFormat));
    const QByteArray head = formatLog(TrafficRecord{}, SaveKind::Hex, text, "00:00:00");
    QVERIFY(!head.contains('?'));
}

void LogFormatTest::threeRecords_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("pc");
    QTest::addColumn<QByteArray>("unit");
    QTest::newRow("hex") << 0 << QByteArray("PC:  02    41 ") << QByteArray("KELM:    10    ");
    QTest::newRow("ascii") << 2 << QByteArray("PC:  02    A  ") << QByteArray("KELM:    10    ");
}

void LogFormatTest::threeRecords()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, pc);
    QFETCH(QByteArray, unit);
    const auto l = lines(formatLog(record({{0, 2}, {1, 16}, {0, 0x41}}), SaveKind(kind), "d", "t"));
    QCOMPARE(l.size(), 5);
    QCOMPARE(l[2], pc);
    QCOMPARE(l[2].size(), 14);
    QCOMPARE(l[3], unit);
    QCOMPARE(l[3].size(), 15);
    QCOMPARE(l[4], kRule);
}

void LogFormatTest::pairsOfTwenty()
{
    TrafficRecord r;
    for (int i = 0; i < 45; ++i)
        r.append(i % 3 == 0, std::uint8_t(i));
    const auto l = lines(formatLog(r, SaveKind::Hex, "d", "t"));
    QCOMPARE(l.size(), 2 + 3 * 3);
    QCOMPARE(l[2].size(), 65);
    QCOMPARE(l[3].size(), 66);
    QCOMPARE(l[5].size(), 65);
    QCOMPARE(l[8].size(), 5 + 5 * 3);
    QCOMPARE(l[9].size(), 6 + 5 * 3);
    QVERIFY(l[2].startsWith("PC:     01 02    04 "));
    QVERIFY(l[3].startsWith("KELM: 00       03    "));
}

void LogFormatTest::structuredPairsPerExchange()
{
    // Two exchanges, each opened by the PC's STX and the unit's DLE.
    const TrafficRecord r = record({{0, 2},
                                    {1, 16},
                                    {0, 0x31},
                                    {0, 16},
                                    {0, 3},
                                    {0, 0x22},
                                    {1, 16},
                                    {0, 2},
                                    {1, 16},
                                    {0, 0x32},
                                    {0, 16},
                                    {0, 3},
                                    {0, 0x21},
                                    {1, 16}});
    const auto l = lines(formatLog(r, SaveKind::HexStructured, "d", "t"));
    QCOMPARE(l.size(), 2 + 2 * 3);
    QCOMPARE(l[2], QByteArray("PC:  02    31 10 03 22    "));
    QCOMPARE(l[3], QByteArray("KELM:    10             10 "));
    QCOMPARE(l[4], kRule);
    QCOMPARE(l[5], QByteArray("PC:  02    32 10 03 21    "));
    QCOMPARE(l[7], kRule);

    // An STX answered from the same side is no new exchange.
    const auto same =
        lines(formatLog(record({{0, 0x31}, {0, 2}, {0, 16}}), SaveKind::AsciiStructured, "d", "t"));
    QCOMPARE(same.size(), 5);
    QCOMPARE(same[2], QByteArray("PC:  1  02 10 "));
}

void LogFormatTest::bytesOutsidePrintableAreHex()
{
    const auto l = lines(
        formatLog(record({{0, 0x7F}, {0, 0x80}, {0, 0x7E}, {0, 0x1F}}), SaveKind::Ascii, "d", "t"));
    QCOMPARE(l[2], QByteArray("PC:  7F 80 ~  1F "));
    QCOMPARE(V24MonHex(0x0A), QByteArray("0A"));
    QCOMPARE(V24MonHex(0xFF), QByteArray("FF"));
}

void LogFormatTest::blankIsThreeBlanks()
{
    const auto l =
        lines(formatLog(record({{0, 0x20}, {1, 0x41}}), SaveKind::AsciiStructured, "d", "t"));
    QCOMPARE(l[2], QByteArray("PC:        "));
    QCOMPARE(l[3], QByteArray("KELM:    A  "));
}

void LogFormatTest::wrappedRingListsNewestOldestFirst()
{
    TrafficRecord r;
    for (int i = 0; i < 9899 + 21; ++i)
        r.append(0, std::uint8_t(i % 251));
    QCOMPARE(r.count(), 9899);
    const auto l = lines(formatLog(r, SaveKind::Hex, "d", "t"));
    // 9899 bytes: 494 full pairs and one of 19.
    QCOMPARE(l.size(), 2 + 495 * 3);
    // The oldest kept record is the 22nd written (index 21).
    QVERIFY(l[2].startsWith("PC:  " + V24MonHex(21) + ' ' + V24MonHex(22)));
    QByteArray all;
    for (int i = 2; i < l.size(); i += 3)
        all += l[i].mid(5);
    QCOMPARE(all.size(), 9899 * 3);
    // Slot 9899 and slot 0 follow each other in the list.
    const int k = 9899 - r.BufStart;
    QCOMPARE(all.mid(k * 3, 2), V24MonHex(r.BufValue[9899]));
    QCOMPARE(all.mid((k + 1) * 3, 2), V24MonHex(r.BufValue[0]));
}

void LogFormatTest::emptyRecordIsAComplete()
{
    const QByteArray file = formatLog(TrafficRecord{}, SaveKind::AsciiStructured, "d", "t");
    QVERIFY(file.endsWith("PC:  \r\nKELM: \r\n" + kRule + "\r\n"));
    QCOMPARE(lines(file).size(), 5);
}

void LogFormatTest::unwritablePathsAreReported_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("missing folder") << "missing/log.txt";
    QTest::newRow("a directory") << "dir";
    QTest::newRow("read-only file system") << "/proc/kelm-log.txt";
    QTest::newRow("read-only folder") << "/sys/kelm-log.txt";
}

void LogFormatTest::unwritablePathsAreReported()
{
    QFETCH(QString, relative);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("dir"));
    QString error;
    const QString path = relative.startsWith('/') ? relative : dir.filePath(relative);
    QVERIFY(!writeLogFile(path, "x", &error));
    QVERIFY(!error.isEmpty());
}

// A file-size limit stands in for a full disk: the write fails part way, below the size at
// which anything reaches the disk before the final commit.
void LogFormatTest::writeCutShortIsAFailure()
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
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("old log"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"log.txt"});
}

void LogFormatTest::saveReportsFailureAndKeepsRecord()
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
    QFile f(good);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const auto l = lines(f.readAll());
    QCOMPARE(l.size(), 5);
    QCOMPARE(l[2], QByteArray("PC:  02    "));
}

QTEST_MAIN(LogFormatTest)
#include "tst_logformat.moc"
