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
    void statusQueryOnTheLine_data()
    {
        QTest::addColumn<bool>("stx");
        QTest::newRow("variant without STX") << false;
        QTest::newRow("variant STX") << true;
    }

    void statusQueryOnTheLine()
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
        const std::array<std::uint8_t, 6> expected{0, 0x31, 0x41, 0x51, replyBcc, 0xEE};
        QCOMPARE(puffer, expected);
        // Every byte of both exchanges reaches the record, in line order.
        const Records records{{0, 2},  {1, 16}, {0, '#'},      {0, 16},   {0, 3},    {0, bcc},
                              {1, 16}, {1, 2},  {0, 16},       {1, 0x31}, {1, 0x41}, {1, 0x51},
                              {1, 16}, {1, 3},  {1, replyBcc}, {0, 16}};
        QCOMPARE(rig.sink.records, records);
        QCOMPARE(rig.unit().receivedTelegrams(), std::vector<sim::Bytes>{{'#'}});
    }

    void waitingBytesAreReadRecordedAndDropped()
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

    // An operator's click during a send's line wait starts a send of its own there; each keeps
    // its own six attempts.
    void nestedSendsKeepTheirOwnAttempts()
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

    void silentUnitTimesOutAfterOneSecond()
    {
        Rig rig;
        rig.unit().setSilent(true);
        QElapsedTimer t;
        t.start();
        QVERIFY(!rig.send(bytes({0x32})));
        QVERIFY2(t.elapsed() >= 990 && t.elapsed() < 1500,
                 qPrintable(QString::number(t.elapsed())));
        QCOMPARE(int(rig.link.LinkFehler), int(linkerr::Timeout));
        QCOMPARE(rig.host.messages, QStringList{QStringLiteral("Fehler beim Senden")});
        QCOMPARE(rig.sink.records, (Records{{0, 2}})); // a read that timed out leaves no record
    }

    void conflictUnitKeepsTheLine()
    {
        Rig rig;
        rig.unit().conflictOnNextStx({0x35}, true);
        QVERIFY(rig.send(bytes({0x31})));
        // The unit's telegram was taken first, then ours went out once and intact.
        QCOMPARE(rig.host.tasten, std::vector<std::uint8_t>{0x35});
        QCOMPARE(rig.unit().receivedTelegrams(), std::vector<sim::Bytes>{{0x31}});
        QVERIFY(rig.host.messages.isEmpty());
    }

    void pendingStxIsTakenNotDropped()
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

    void reportsAndRefusals()
    {
        Rig rig;
        rig.unit().sendReport({'l', '1'});
        QTRY_COMPARE(rig.host.quittungen, std::vector<std::uint8_t>{0x31});
        // Six wrong block checks: six NAKs and nothing handed on; then one wrong, one good.
        rig.unit().corruptNextBcc(6);
        rig.unit().sendReport({0x33});
        QTRY_COMPARE(rig.unit().failedSends(), 1);
        QCOMPARE(rig.count(DirPc, ctl::NAK), 6);
        rig.unit().corruptNextBcc(1);
        rig.unit().sendReport({0x34});
        QTRY_COMPARE(rig.host.tasten, std::vector<std::uint8_t>{0x34});
        QTest::qWait(100);
        QCOMPARE(rig.host.tasten.size(), std::size_t(1));
        QCOMPARE(int(rig.link.LinkStatus), int(linkstatus::Idle));
    }
};

QTEST_MAIN(LinkTest)
#include "tst_link.moc"
