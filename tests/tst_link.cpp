// The 3964R procedures against the simulated unit on a real pseudo-terminal.
#include "TestSupport.h"
#include "link/mod3964R.h"

#include <QTest>
#include <QTimer>

using namespace kelm;
using test::bytes;

namespace {

struct Rig
{
    explicit Rig(bool stx = false)
    {
        line.unit->setStxVariant(stx);
        line.wire(port);
        port.setTag(stx ? QStringLiteral("STX") : QString());
        opened = port.setPortOpen(true);
        link.LinkStatus = linkstatus::Idle;
        QObject::connect(&port, &MSComm::OnComm, [this] { link.MSComm1_OnComm(); });
    }
    sim::SimUnit &unit() { return *line.unit; }
    bool send(const QByteArray &t) { return link.TelegrammSenden(int(t.size()), t); }
    // A block as the unit would put it on the line, for raw injection.
    static sim::Bytes block(const sim::Bytes &data)
    {
        sim::Bytes b{ctl::STX};
        std::uint8_t bcc = 0;
        for (auto d : data) {
            b.push_back(d);
            bcc ^= d;
        }
        b.push_back(ctl::DLE);
        b.push_back(ctl::ETX);
        b.push_back(bcc ^ ctl::DLE ^ ctl::ETX);
        return b;
    }
    int count(std::uint8_t direction, std::uint8_t value) const
    {
        return int(sink.bytes(direction).count(char(value)));
    }

    test::UnitOnLine line;
    MSComm port;
    test::RecordingSink sink;
    test::FakeHost host;
    mod3964R link{port, sink, host};
    bool opened = false;
};

using Records = std::vector<std::pair<std::uint8_t, std::uint8_t>>;

} // namespace

class LinkTest : public QObject
{
    Q_OBJECT

private slots:
    void statusQueryOnTheLine_data();
    void statusQueryOnTheLine();
    void dataByte16GoesOnceAndEndsTheData();
    void waitingBytesAreReadRecordedAndDropped();
    void nakRetriesUpToSixAttempts();
    void nestedSendsKeepTheirOwnAttempts();
    void silentUnitTimesOutAfterOneSecond();
    void busyLineGivesUpAfterFiveSeconds();
    void demoModeSendsNothing();
    void conflictUnitKeepsTheLine();
    void conflictUnitGivesWay();
    void pendingStxIsTakenNotDropped();

    void receiverDispatches_data();
    void receiverDispatches();
    void receiverRefusesWrongBlockCheck();
    void telegramCutOffAfterDleDoesNotHoldTheLine();

    void empfangenFillsBuffer();
    void empfangenRefusesReplyLongerThanBuffer();
    void empfangenOnClosedPort();
};

void LinkTest::statusQueryOnTheLine_data()
{
    QTest::addColumn<bool>("stx");
    QTest::newRow("variant without STX") << false;
    QTest::newRow("variant STX") << true;
}

void LinkTest::statusQueryOnTheLine()
{
    QFETCH(bool, stx);
    Rig rig(stx);
    QVERIFY(rig.opened);
    rig.unit().setStatusReply({0x31, 0x41, 0x51});
    QVERIFY(rig.send("#"));
    QCOMPARE(int(rig.link.LinkFehler), 0);
    std::array<std::uint8_t, 6> puffer;
    puffer.fill(0xEE);
    int anzahl = 3;
    QVERIFY(rig.link.TelegrammEmpfangen(anzahl, puffer));
    QCOMPARE(anzahl, 3);

    const std::uint8_t bcc = stx ? 50 : 48;
    const std::uint8_t replyBcc = (0x31 ^ 0x41 ^ 0x51 ^ 16 ^ 3) ^ (stx ? 2 : 0);
    QCOMPARE(puffer[0], std::uint8_t(0));
    QCOMPARE(puffer[1], std::uint8_t(0x31));
    QCOMPARE(puffer[3], std::uint8_t(0x51));
    QCOMPARE(puffer[4], replyBcc);
    QCOMPARE(puffer[5], std::uint8_t(0xEE));

    // Every byte of both exchanges reaches the record, in line order.
    const Records expected{{0, 2},  {1, 16}, {0, '#'},      {0, 16},   {0, 3},    {0, bcc},
                           {1, 16}, {1, 2},  {0, 16},       {1, 0x31}, {1, 0x41}, {1, 0x51},
                           {1, 16}, {1, 3},  {1, replyBcc}, {0, 16}};
    QCOMPARE(rig.sink.records, expected);
    QCOMPARE(rig.unit().receivedTelegrams(), std::vector<sim::Bytes>{{'#'}});
}

void LinkTest::dataByte16GoesOnceAndEndsTheData()
{
    Rig rig;
    // DLE inside the data is sent once and ends the data for the unit, which then refuses
    // the block: six attempts, each with the byte once.
    QVERIFY(!rig.send(bytes({0x41, 0x10, 0x42})));
    QCOMPARE(int(rig.link.LinkFehler), int(linkerr::Nak));
    const QByteArray attempt = bytes({2, 0x41, 0x10, 0x42, 16, 3, 0x41 ^ 0x10 ^ 0x42 ^ 16 ^ 3});
    QCOMPARE(rig.sink.bytes(DirPc), attempt.repeated(6));
}

void LinkTest::waitingBytesAreReadRecordedAndDropped()
{
    Rig rig;
    QObject::disconnect(&rig.port, &MSComm::OnComm, nullptr, nullptr);
    rig.unit().injectNoise({0x55, 0x66});
    QTRY_COMPARE(rig.port.inBufferCount(), 2);
    QVERIFY(rig.send(bytes({0x31})));
    const Records head(rig.sink.records.begin(), rig.sink.records.begin() + 3);
    QCOMPARE(head, (Records{{1, 0x55}, {1, 0x66}, {0, 2}}));
    QCOMPARE(rig.unit().receivedTelegrams(), std::vector<sim::Bytes>{{0x31}});
}

void LinkTest::nakRetriesUpToSixAttempts()
{
    {
        Rig rig;
        rig.unit().nakNextBlocks(5);
        QVERIFY(rig.send(bytes({0x32})));
        QCOMPARE(rig.count(DirPc, ctl::STX), 6);
        QVERIFY(rig.host.messages.isEmpty());
    }
    Rig rig;
    rig.unit().nakNextBlocks(6);
    QVERIFY(!rig.send(bytes({0x32})));
    QCOMPARE(rig.count(DirPc, ctl::STX), 6);
    QCOMPARE(int(rig.link.LinkFehler), int(linkerr::Nak));
    QCOMPARE(rig.host.messages, QStringList{QStringLiteral("Fehler beim Senden")});
    QCOMPARE(rig.port.rThreshold(), 1);
}

// An operator's click during a send's line wait starts a send of its own there; each keeps its
// own six attempts.
void LinkTest::nestedSendsKeepTheirOwnAttempts()
{
    Rig rig;
    rig.link.LinkStatus = linkstatus::Data; // a reception under way holds the outer send
    rig.link.EmpfangZeit = steadyClock().now() + 100;
    bool nestedSent = false;
    rig.host.onPump = [&] {
        rig.host.onPump = nullptr;
        rig.link.LinkStatus = linkstatus::Idle;
        rig.unit().nakNextBlocks(3);
        nestedSent = rig.send(bytes({0x33}));
        rig.unit().nakNextBlocks(5);
    };
    QVERIFY(rig.send(bytes({0x32})));
    QVERIFY(nestedSent);
    QCOMPARE(rig.count(DirPc, ctl::STX), 4 + 6);
    QCOMPARE(rig.unit().receivedTelegrams(), (std::vector<sim::Bytes>{{0x33}, {0x32}}));
    QVERIFY(rig.host.messages.isEmpty());
}

void LinkTest::silentUnitTimesOutAfterOneSecond()
{
    Rig rig;
    rig.unit().setSilent(true);
    QElapsedTimer t;
    t.start();
    QVERIFY(!rig.send(bytes({0x32})));
    const qint64 ms = t.elapsed();
    QVERIFY2(ms >= 990 && ms < 1500, qPrintable(QString::number(ms)));
    QCOMPARE(int(rig.link.LinkFehler), int(linkerr::Timeout));
    QCOMPARE(rig.host.messages, QStringList{QStringLiteral("Fehler beim Senden")});
    // A read that timed out leaves no record.
    QCOMPARE(rig.sink.records, (Records{{0, 2}}));
}

void LinkTest::busyLineGivesUpAfterFiveSeconds()
{
    Rig rig;
    rig.link.LinkStatus = linkstatus::Data; // a reception that never ends
    rig.link.EmpfangZeit = steadyClock().now() + 100;
    QElapsedTimer t;
    t.start();
    QVERIFY(!rig.send(bytes({0x32})));
    const qint64 ms = t.elapsed();
    QVERIFY2(ms >= 4990 && ms < 5600, qPrintable(QString::number(ms)));
    QCOMPARE(int(rig.link.LinkStatus), int(linkstatus::Idle));
    QVERIFY(rig.host.messages.isEmpty());
    QVERIFY(rig.sink.records.empty());
}

void LinkTest::demoModeSendsNothing()
{
    Rig rig;
    rig.host.demo = true;
    rig.link.LinkStatus = linkstatus::Data; // not even the line wait runs
    QElapsedTimer t;
    t.start();
    QVERIFY(rig.send(bytes({0x31})));
    QVERIFY(t.elapsed() < 100);
    QTest::qWait(100);
    QVERIFY(rig.sink.records.empty());
    QVERIFY(rig.unit().bytesFromTool().empty());
}

void LinkTest::conflictUnitKeepsTheLine()
{
    Rig rig;
    rig.unit().conflictOnNextStx({0x35}, true);
    QVERIFY(rig.send(bytes({0x31})));
    // The unit's telegram was taken first, then ours went out once and intact.
    QCOMPARE(rig.host.tasten, std::vector<std::uint8_t>{0x35});
    QCOMPARE(rig.unit().sentTelegrams(), std::vector<sim::Bytes>{{0x35}});
    QCOMPARE(rig.unit().receivedTelegrams(), std::vector<sim::Bytes>{{0x31}});
    QCOMPARE(int(rig.link.LinkStatus), int(linkstatus::Idle));
    QVERIFY(rig.host.messages.isEmpty());
}

void LinkTest::conflictUnitGivesWay()
{
    Rig rig;
    rig.unit().conflictOnNextStx({0x36}, false);
    QVERIFY(rig.send(bytes({0x31})));
    QCOMPARE(rig.unit().receivedTelegrams(), std::vector<sim::Bytes>{{0x31}});
    QTRY_COMPARE(rig.host.tasten, std::vector<std::uint8_t>{0x36});
}

void LinkTest::pendingStxIsTakenNotDropped()
{
    Rig rig;
    // The unit starts a telegram right after the sender's line wait looked.
    rig.port.setRThreshold(0);
    rig.unit().sendReport({0x37});
    QTRY_COMPARE(rig.port.inBufferCount(), 1);
    QVERIFY(rig.send(bytes({0x31})));
    QCOMPARE(rig.host.tasten, std::vector<std::uint8_t>{0x37});
    QCOMPARE(rig.unit().receivedTelegrams(), std::vector<sim::Bytes>{{0x31}});
    QVERIFY(rig.host.messages.isEmpty());
}

void LinkTest::receiverDispatches_data()
{
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<bool>("stx");
    QTest::addColumn<int>("taste");
    QTest::addColumn<int>("quittung");
    QTest::newRow("key") << bytes({0x33}) << false << 0x33 << -1;
    QTest::newRow("key, STX variant") << bytes({0x33}) << true << 0x33 << -1;
    QTest::newRow("only the first byte") << bytes({0x41, 0x99}) << false << 0x41 << -1;
    QTest::newRow("acknowledgement") << bytes({'l', '1'}) << false << -1 << 0x31;
    QTest::newRow("bare l gives the DLE") << bytes({'l'}) << false << -1 << 16;
}

void LinkTest::receiverDispatches()
{
    QFETCH(QByteArray, report);
    QFETCH(bool, stx);
    QFETCH(int, taste);
    QFETCH(int, quittung);
    Rig rig(stx);
    rig.unit().sendReport(sim::Bytes(report.begin(), report.end()));
    if (taste >= 0)
        QTRY_COMPARE(rig.host.tasten, std::vector<std::uint8_t>{std::uint8_t(taste)});
    else
        QTRY_COMPARE(rig.host.quittungen, std::vector<std::uint8_t>{std::uint8_t(quittung)});
    QTRY_COMPARE(rig.unit().sentTelegrams().size(), std::size_t(1));
    QCOMPARE(int(rig.link.LinkStatus), int(linkstatus::Idle));
}

void LinkTest::receiverRefusesWrongBlockCheck()
{
    Rig rig;
    rig.unit().corruptNextBcc(6);
    rig.unit().sendReport({0x33});
    QTRY_COMPARE(rig.unit().failedSends(), 1);
    QTest::qWait(50);
    QVERIFY(rig.host.tasten.empty());
    QCOMPARE(rig.count(DirPc, ctl::NAK), 6);
    QCOMPARE(int(rig.link.LinkStatus), int(linkstatus::Idle));

    // One wrong block check, then a good one: dispatched exactly once.
    rig.unit().corruptNextBcc(1);
    rig.unit().sendReport({0x34});
    QTRY_COMPARE(rig.host.tasten, std::vector<std::uint8_t>{0x34});
    QTest::qWait(100);
    QCOMPARE(rig.host.tasten.size(), std::size_t(1));
}

void LinkTest::telegramCutOffAfterDleDoesNotHoldTheLine()
{
    Rig rig;
    rig.unit().cutOffNextTelegram();
    rig.unit().sendReport({0x33});
    QTRY_COMPARE(int(rig.link.LinkStatus), int(linkstatus::DleSeen));
    QElapsedTimer t;
    t.start();
    QVERIFY(rig.send(bytes({0x31})));
    QVERIFY2(t.elapsed() >= 900 && t.elapsed() < 1600, qPrintable(QString::number(t.elapsed())));
    QVERIFY(rig.host.tasten.empty());
    QCOMPARE(rig.unit().receivedTelegrams(), std::vector<sim::Bytes>{{0x31}});
    QVERIFY(rig.host.messages.isEmpty());
}

void LinkTest::empfangenFillsBuffer()
{
    Rig rig;
    rig.unit().setStatusReply({0x30, 0x4C, 0x5C});
    QVERIFY(rig.send("#"));
    std::array<std::uint8_t, 6> puffer;
    puffer.fill(0x77);
    int anzahl = 3;
    QVERIFY(rig.link.TelegrammEmpfangen(anzahl, puffer));
    QCOMPARE(anzahl, 3);
    const std::array<std::uint8_t, 6> expected{0,   0x30, 0x4C, 0x5C, 0x30 ^ 0x4C ^ 0x5C ^ 16 ^ 3,
                                               0x77};
    QCOMPARE(puffer, expected);
}

void LinkTest::empfangenRefusesReplyLongerThanBuffer()
{
    Rig rig;
    rig.unit().setStatusReply({1, 2, 4, 5, 6, 7, 8, 9});
    QVERIFY(rig.send("#"));
    std::array<std::uint8_t, 10> memory;
    memory.fill(0xAA);
    int anzahl = 3;
    QVERIFY(!rig.link.TelegrammEmpfangen(anzahl, std::span(memory).first(6)));
    QCOMPARE(int(rig.link.LinkFehler), int(linkerr::WrongReply));
    for (int i = 6; i < 10; ++i)
        QCOMPARE(memory[i], std::uint8_t(0xAA));
    QCOMPARE(rig.sink.records.back(), (std::pair<std::uint8_t, std::uint8_t>{0, ctl::NAK}));
}

void LinkTest::empfangenOnClosedPort()
{
    MSComm port;
    test::RecordingSink sink;
    test::FakeHost host;
    mod3964R link(port, sink, host);
    std::array<std::uint8_t, 6> puffer;
    puffer.fill(9);
    int anzahl = 3;
    QVERIFY(!link.TelegrammEmpfangen(anzahl, puffer));
    QCOMPARE(int(link.LinkFehler), int(linkerr::PortClosed));
    QCOMPARE(puffer[0] + puffer[1] + puffer[2] + puffer[3], 0);
    QCOMPARE(puffer[4], std::uint8_t(9));
}

QTEST_MAIN(LinkTest)
#include "tst_link.moc"
