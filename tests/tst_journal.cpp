// The traffic journal: its lines, the bytes it holds against those on the line, its flushes,
// rotation and a disk that refuses it; and its menu entry in the tool.
#include "ToolOnLine.h"
#include "journal/TrafficJournal.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace kelm;

namespace {
QStringList journalLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

const QRegularExpression kLine(QStringLiteral(
    R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})  \+(\d{7}\.\d{3})  (PC  |KELM|----) (.*)$)"));

// The bytes of one direction, as the journal lists them.
QByteArray bytesOf(const QStringList &lines, const QString &tag)
{
    QByteArray out;
    for (const QString &line : lines) {
        const auto m = kLine.match(line);
        if (m.hasMatch() && m.captured(3).trimmed() == tag)
            out += QByteArray::fromHex(m.captured(4).toLatin1());
    }
    return out;
}
} // namespace

class JournalTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("KELM")); }

    void linesPerBurstAndEvent()
    {
        test::SkippingClock clock;
        QTemporaryDir dir;
        TrafficJournal j(clock);
        QString error;
        QVERIFY(j.start(dir.filePath("j.txt"), &error));
        j.portOpened("Com 1 (/dev/ttyS0) 9600,e,8,1");
        j.V24MonWriteBuf(DirPc, 0x02);
        j.V24MonWriteBuf(DirUnit, 0x10);
        for (std::uint8_t b : {0x34, 0x10, 0x03, 0x27})
            j.V24MonWriteBuf(DirPc, b);
        clock.sleep(0.2); // a pause ends a burst even in the same direction
        j.V24MonWriteBuf(DirPc, 0x02);
        for (int i = 0; i < 40; ++i) // a long burst wraps
            j.V24MonWriteBuf(DirUnit, 0xA0);
        j.note("send failed, error 137");
        QVERIFY(j.flush());
        const QStringList lines = journalLines(dir.filePath("j.txt"));
        QCOMPARE(lines.size(), 9);
        for (const QString &line : lines)
            QVERIFY2(kLine.match(line).hasMatch(), qPrintable(line));
        auto body = [&](int i) { return kLine.match(lines[i]).captured(4); };
        QCOMPARE(body(0), QStringLiteral("journal started"));
        QCOMPARE(body(1), QStringLiteral("port opened: Com 1 (/dev/ttyS0) 9600,e,8,1"));
        QCOMPARE(kLine.match(lines[2]).captured(3), QStringLiteral("PC  "));
        QCOMPARE(body(2), QStringLiteral("02"));
        QCOMPARE(body(3), QStringLiteral("10"));
        QCOMPARE(body(4), QStringLiteral("34 10 03 27"));
        QCOMPARE(body(5), QStringLiteral("02"));
        QCOMPARE(kLine.match(lines[5]).captured(2), QStringLiteral("0000000.200"));
        QCOMPARE(body(6).split(' ').size(), 32);
        QCOMPARE(body(7).split(' ').size(), 8);
        QCOMPARE(body(8), QStringLiteral("send failed, error 137"));
    }

    void holdsEveryByteOfTheLine()
    {
        test::RecordingSink recorded;
        TrafficJournal journal;
        TrafficSinks sinks;
        sinks.add(&recorded);
        sinks.add(&journal);
        test::FakeHost host;
        test::LinkOnLine on(sinks, host);
        QTemporaryDir dir;
        QString error;
        QVERIFY(journal.start(dir.filePath("j.txt"), &error));
        on.unit().nakNextBlocks(1);
        QVERIFY(on.send("#"));
        std::array<std::uint8_t, 6> puffer{};
        int anzahl = 3;
        QVERIFY(on.link.TelegrammEmpfangen(anzahl, puffer));
        on.unit().pressKey(4);
        QTRY_COMPARE(host.tasten.size(), std::size_t(1));
        on.unit().setSilent(true);
        QVERIFY(!on.send("1"));
        journal.stop();
        const QStringList lines = journalLines(dir.filePath("j.txt"));
        QCOMPARE(bytesOf(lines, "PC"), recorded.bytes(DirPc));
        QCOMPARE(bytesOf(lines, "KELM"), recorded.bytes(DirUnit));
        QVERIFY(lines.filter("send failed, error 132").size() == 1);
    }

    void flushedWithinASecondAndOnFailures()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("j.txt");
        TrafficJournal j;
        QString error;
        QVERIFY(j.start(path, &error));
        const int started = int(journalLines(path).size());
        j.V24MonWriteBuf(DirPc, 0x02);
        QCOMPARE(journalLines(path).size(), started); // no write per byte
        QTRY_COMPARE_WITH_TIMEOUT(journalLines(path).size(), started + 1, 2500);
        j.V24MonWriteBuf(DirUnit, 0x15);
        j.note("continuous test failed at line 3, column 7", true);
        QCOMPARE(journalLines(path).size(), started + 3); // at once, with the bytes before it
    }

    void rotatesBySize()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("j.txt");
        TrafficJournal j;
        QString error;
        QVERIFY(j.start(path, &error, 1024, 3));
        for (int i = 0; i < 200; ++i) {
            j.V24MonWriteBuf(DirPc, std::uint8_t(i));
            j.note(QStringLiteral("event %1").arg(i), true);
        }
        j.stop();
        QDir d(dir.path());
        QCOMPARE(d.entryList(QDir::Files), (QStringList{"j.txt", "j.txt.1", "j.txt.2"}));
        for (const QString &name : d.entryList(QDir::Files))
            QVERIFY(QFileInfo(d.filePath(name)).size() <= 1024);
        // The newest events are in the current file, the ones before in .1.
        QVERIFY(journalLines(path).filter("event 199").size() == 1);
        QVERIFY(journalLines(path + ".1").last() < journalLines(path).first());
    }

    void refusedWriteStopsOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("j.txt");
        TrafficJournal j;
        QSignalSpy failed(&j, &TrafficJournal::failed);
        QString error;
        QVERIFY(j.start(path, &error));
        {
            test::FileSizeLimit limit(400);
            for (int i = 0; i < 50; ++i)
                j.note(QStringLiteral("event %1").arg(i), true);
        }
        QCOMPARE(failed.count(), 1);
        const QString message = failed[0][0].toString();
        QVERIFY2(message.startsWith(path) && message.contains("large", Qt::CaseInsensitive),
                 qPrintable(message));
        QVERIFY(!j.recording());
        j.V24MonWriteBuf(DirPc, 0x02); // ignored, no crash
        QVERIFY(!j.flush());
        QCOMPARE(failed.count(), 1);
    }

    // "Mitschnitt..." records from a chosen file; the choice is remembered, and the next start
    // records from the first byte, the start-up detection included.
    void menuEntryRecordsAndResumes()
    {
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
        const QString path = home.filePath("kelm-journal.txt");
        {
            test::ToolOnLine tool;
            tool.start();
            tool.window.setJournalFileProvider([&] { return path; });
            QAction *entry = tool.menu("mnuMitschnitt");
            QCOMPARE(entry->text(), QStringLiteral("Mitschnitt..."));
            entry->trigger();
            QVERIFY(entry->isChecked());
            QTest::mouseClick(tool.key(2), Qt::LeftButton);
            entry->trigger();
            QVERIFY(!entry->isChecked() && !tool.window.journal().recording());
            const QStringList lines = journalLines(path);
            QCOMPARE(bytesOf(lines, "PC"), QByteArray::fromHex("0233100320"));
            // Recording is switched back on for the next start.
            entry->trigger();
            QVERIFY(entry->isChecked());
            tool.window.close();
        }
        QFile::remove(path);
        test::ToolOnLine again;
        QVERIFY(again.menu("mnuMitschnitt")->isChecked());
        again.start();
        again.window.journal().flush();
        const QStringList lines = journalLines(path);
        QVERIFY(lines.filter("port opened: Com 1").size() == 1);
        QVERIFY(bytesOf(lines, "PC").startsWith(QByteArray::fromHex("022310033010")));
        qunsetenv("XDG_CONFIG_HOME");
    }
};

QTEST_MAIN(JournalTest)
#include "tst_journal.moc"
