// The ring of traffic records: capacity, wrap, clear.
#include "monitor/TrafficRecord.h"

#include <QTest>

using kelm::TrafficRecord;

class TrafficRecordTest : public QObject
{
    Q_OBJECT

private slots:
    void wrapsAtCapacity();
    void clearThenThreeRecords();
};

void TrafficRecordTest::wrapsAtCapacity()
{
    TrafficRecord r;
    for (int i = 0; i < 9899; ++i)
        r.append(i & 1, static_cast<std::uint8_t>(i));
    QCOMPARE(int(r.BufStart), 0);
    QCOMPARE(int(r.BufWrite), 9899);
    QCOMPARE(r.count(), 9899);

    r.append(1, 0xAB);
    QCOMPARE(int(r.BufWrite), 0);
    QCOMPARE(int(r.BufStart), 1);
    QCOMPARE(r.count(), 9899);
    QCOMPARE(r.BufValue[9899], std::uint8_t(0xAB));
    // The first record (value 0) is gone; the oldest is now the second one.
    QCOMPARE(r.BufValue[r.slotOf(0)], std::uint8_t(1));

    for (int i = 0; i < 20000; ++i) {
        r.append(0, 1);
        QVERIFY(r.BufStart >= 0 && r.BufStart <= 9899);
        QVERIFY(r.BufWrite >= 0 && r.BufWrite <= 9899);
        QCOMPARE(r.count(), 9899);
    }
}

void TrafficRecordTest::clearThenThreeRecords()
{
    TrafficRecord r;
    for (int i = 0; i < 500; ++i)
        r.append(0, 0xFF);
    r.clear();
    QVERIFY(r.isEmpty());
    r.append(0, 2);
    r.append(1, 16);
    r.append(0, 0x41);
    QCOMPARE(r.count(), 3);
    QCOMPARE(r.BufValue[0], std::uint8_t(2));
    QCOMPARE(r.BufDir[1], std::uint8_t(1));
    QCOMPARE(r.BufValue[2], std::uint8_t(0x41));
}

QTEST_APPLESS_MAIN(TrafficRecordTest)
#include "tst_trafficrecord.moc"
