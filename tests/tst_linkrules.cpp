// The 3964R rules that hang on an exact byte order or an exact wait: a scripted peer on an
// in-memory line, with a clock that only moves when the link waits.
#include "link/mod3964R.h"
#include "tests/fuzz/FakeLink.h"

#include <QTest>
#include <deque>

using namespace kelm;

namespace {
using Bytes = std::vector<std::uint8_t>;

// Once the tool has written `after` bytes in all, the peer puts `reply` on the line.
class ScriptedPort : public fuzz::FakePort
{
public:
    using FakePort::FakePort;
    void after(std::size_t written, Bytes reply) { m_script.emplace_back(written, reply); }
    void output(const QByteArray &bytes) override
    {
        FakePort::output(bytes);
        while (!m_script.empty() && out.size() >= m_script.front().first) {
            in.insert(in.end(), m_script.front().second.begin(), m_script.front().second.end());
            m_script.pop_front();
        }
    }

private:
    std::deque<std::pair<std::size_t, Bytes>> m_script;
};

// The serial event runs whenever a wait lets the event loop run and bytes are waiting.
class PumpingHost : public fuzz::FakeHost
{
public:
    PumpingHost(fuzz::FakeClock &clock, CommPort &port) : FakeHost(clock), m_port(port) {}
    void pumpEvents() override
    {
        FakeHost::pumpEvents();
        if (link && m_port.rThreshold() > 0 && m_port.inBufferCount() > 0)
            link->MSComm1_OnComm();
    }
    mod3964R *link = nullptr;

private:
    CommPort &m_port;
};

struct Rig
{
    Rig()
    {
        host.link = &link;
        link.LinkStatus = linkstatus::Idle;
    }
    bool send(std::uint8_t byte) { return link.TelegrammSenden(1, QByteArray(1, char(byte))); }

    fuzz::FakeClock clock;
    ScriptedPort port{clock};
    PumpingHost host{clock, port};
    fuzz::CountingSink sink;
    mod3964R link{port, sink, host, clock};
};

constexpr std::uint8_t STX = ctl::STX, ETX = ctl::ETX, DLE = ctl::DLE, NAK = ctl::NAK;

// Data, DLE, ETX and the block check, as the unit closes a block.
Bytes closing(Bytes data)
{
    data.push_back(DLE);
    data.push_back(ETX);
    data.push_back(blockCheck(data.data(), data.size() - 2, false));
    return data;
}

QByteArray bytes(const Bytes &b)
{
    // Bytes of the line as a QByteArray, for Qt Test's data tables and messages.
    return QByteArray(reinterpret_cast<const char *>(b.data()), qsizetype(b.size()));
}
} // namespace

class LinkRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void senderExchanges_data();
    void senderExchanges();
    void sixGiveWaysFailTheSend();
    void pauseAfterAcceptedTelegram();
    void empfangenFailures_data();
    void empfangenFailures();
    void receiver_data();
    void receiver();
    void receiverReadsNothingBeforeStart();
};

// One send against a scripted unit: its answer to the tool's STX, then to the block.
void LinkRulesTest::senderExchanges_data()
{
    QTest::addColumn<QByteArray>("afterStx");
    QTest::addColumn<QByteArray>("afterBlock");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<int>("fehler");
    QTest::addColumn<QByteArray>("written");
    const QByteArray block = bytes(closing({0x31}));
    const QByteArray stx = bytes({STX}), dle = bytes({DLE});
    const int ok = linkerr::Ok;
    QTest::newRow("accepted") << dle << dle << true << ok << stx + block;
    QTest::newRow("NAK to STX: the data follow")
        << bytes({NAK}) << dle << true << ok << stx + block;
    QTest::newRow("wrong reply to the block")
        << dle << bytes({0x41}) << false << int(linkerr::WrongReply) << stx + block;
    QTest::newRow("silent after the block")
        << dle << QByteArray() << false << int(linkerr::Timeout) << stx + block;
    // The unit answers with an STX of its own, then with the byte that decides.
    QTest::newRow("conflict, then NAK: next attempt")
        << bytes({STX, NAK}) << dle << true << ok << stx + stx + block;
    QTest::newRow("conflict, then DLE: go ahead")
        << bytes({STX, DLE}) << dle << true << ok << stx + block;
    QTest::newRow("conflict, then silence")
        << bytes({STX}) << QByteArray() << false << int(linkerr::Timeout) << stx;
}

void LinkRulesTest::senderExchanges()
{
    QFETCH(QByteArray, afterStx);
    QFETCH(QByteArray, afterBlock);
    QFETCH(bool, sent);
    QFETCH(int, fehler);
    QFETCH(QByteArray, written);
    Rig rig;
    rig.port.after(1, Bytes(afterStx.begin(), afterStx.end()));
    const bool again = afterStx.endsWith(char(NAK)) && afterStx.size() == 2;
    if (again)
        rig.port.after(2, {DLE}); // the second STX
    rig.port.after(again ? 6 : 5, Bytes(afterBlock.begin(), afterBlock.end()));
    const double t0 = rig.clock.t;
    QCOMPARE(rig.send(0x31), sent);
    QCOMPARE(int(rig.link.LinkFehler), fehler);
    QCOMPARE(bytes(rig.port.out), written);
    QCOMPARE(rig.host.messages, sent ? 0 : 1);
    // A time-out ends the send after one byte wait, not more.
    QVERIFY(rig.clock.t - t0 < (sent ? 0.05 : 1.1));
    QCOMPARE(rig.port.rThreshold(), 1);
}

// A unit that keeps the line at every attempt: each give-way costs one of the six.
void LinkRulesTest::sixGiveWaysFailTheSend()
{
    Rig rig;
    for (std::size_t i = 0; i < 6; ++i) {
        rig.port.after(3 * i + 1, {STX, STX});
        rig.port.after(3 * i + 2, closing({0x35}));
    }
    QVERIFY(!rig.send(0x31));
    QCOMPARE(int(rig.link.LinkFehler), int(linkerr::Nak));
    QCOMPARE(rig.host.messages, 1);
    QCOMPARE(rig.host.dispatched, 6);
    // Each time: STX, the give-way's DLE, the DLE that takes the unit's block.
    QCOMPARE(bytes(rig.port.out), bytes({STX, DLE, DLE}).repeated(6));
    QCOMPARE(int(rig.link.LinkStatus), int(linkstatus::Idle));
}

void LinkRulesTest::pauseAfterAcceptedTelegram()
{
    Rig rig;
    rig.port.after(1, {DLE});
    rig.port.after(5, {DLE});
    const double t0 = rig.clock.t;
    QVERIFY(rig.send(0x31));
    // One pass of the line wait (1 ms here), then the 40 ms pause; no other wait.
    const double waited = rig.clock.t - t0;
    QVERIFY2(waited >= 0.040 && waited < 0.0415, qPrintable(QString::number(waited)));
}

void LinkRulesTest::empfangenFailures_data()
{
    QTest::addColumn<QByteArray>("waiting");  // on the line when the receive starts
    QTest::addColumn<QByteArray>("afterDle"); // sent by the unit once the tool took its STX
    QTest::addColumn<int>("fehler");
    QTest::addColumn<QByteArray>("written");
    const int timeout = linkerr::Timeout, wrong = linkerr::WrongReply;
    QTest::newRow("nothing") << QByteArray() << QByteArray() << timeout << QByteArray();
    QTest::newRow("no STX") << bytes({0x41}) << QByteArray() << wrong << bytes({NAK});
    QTest::newRow("silent after STX") << bytes({STX}) << QByteArray() << timeout << bytes({DLE});
    QTest::newRow("silent in the data")
        << bytes({STX}) << bytes({0x30, 0x41}) << timeout << bytes({DLE});
    QTest::newRow("no ETX") << bytes({STX}) << bytes({0x30, DLE, 0x41}) << wrong
                            << bytes({DLE, NAK});
    QByteArray bad = bytes(closing({0x30, 0x41, 0x51}));
    bad.back() = char(bad.back() ^ 0x01);
    QTest::newRow("wrong block check") << bytes({STX}) << bad << wrong << bytes({DLE, NAK});
    QTest::newRow("no block check")
        << bytes({STX}) << bytes({0x30, DLE, ETX}) << timeout << bytes({DLE});
}

void LinkRulesTest::empfangenFailures()
{
    QFETCH(QByteArray, waiting);
    QFETCH(QByteArray, afterDle);
    QFETCH(int, fehler);
    QFETCH(QByteArray, written);
    Rig rig;
    rig.port.in.assign(waiting.begin(), waiting.end());
    rig.port.after(1, Bytes(afterDle.begin(), afterDle.end()));
    std::array<std::uint8_t, 6> puffer{};
    int anzahl = 3;
    QVERIFY(!rig.link.TelegrammEmpfangen(anzahl, puffer));
    QCOMPARE(int(rig.link.LinkFehler), fehler);
    QCOMPARE(bytes(rig.port.out), written);
}

// Bytes from the unit as the serial event finds them: what the tool answers and hands on.
void LinkRulesTest::receiver_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("pauseAfter"); // bytes before a pause of 1.2 s, -1 for none
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<int>("dispatched");
    const QByteArray stx = bytes({STX});
    auto block = [&](Bytes data) { return stx + bytes(closing(std::move(data))); };
    QTest::newRow("a key") << block({0x33}) << -1 << bytes({DLE, DLE}) << 1;
    QTest::newRow("two in one event")
        << block({0x33}) + block({0x45}) << -1 << bytes({DLE, DLE, DLE, DLE}) << 2;
    QByteArray wrong = block({0x33});
    wrong.back() = char(wrong.back() ^ 1);
    QTest::newRow("wrong block check") << wrong << -1 << bytes({DLE, NAK}) << 0;
    QTest::newRow("doubled DLE") << bytes({STX, 0x33, DLE, DLE, ETX, 0x33 ^ DLE ^ ETX}) << -1
                                 << bytes({DLE, NAK}) << 0;
    QTest::newRow("pause inside") << block({0x33}) << 2 << bytes({DLE}) << 0;
    // A telegram ends at its 299th character: the closing DLE may be the 298th, not the 299th.
    QTest::newRow("297 + DLE: taken") << block(Bytes(297, 0x41)) << -1 << bytes({DLE, DLE}) << 1;
    // The 299th character is the DLE: NAK, but the DLE still moves the receiver on, and the
    // block check that follows decides as usual.
    QTest::newRow("298 + DLE: NAK, then taken")
        << block(Bytes(298, 0x41)) << -1 << bytes({DLE, NAK, DLE}) << 1;
    QTest::newRow("299: refused") << block(Bytes(299, 0x41)) << -1 << bytes({DLE, NAK}) << 0;
}

void LinkRulesTest::receiver()
{
    QFETCH(QByteArray, line);
    QFETCH(int, pauseAfter);
    QFETCH(QByteArray, written);
    QFETCH(int, dispatched);
    Rig rig;
    const qsizetype first = pauseAfter < 0 ? line.size() : pauseAfter;
    rig.port.in.assign(line.begin(), line.begin() + first);
    rig.link.MSComm1_OnComm();
    rig.clock.sleep(1.2);
    rig.port.in.insert(rig.port.in.end(), line.begin() + first, line.end());
    rig.link.MSComm1_OnComm();
    QCOMPARE(bytes(rig.port.out), written);
    QCOMPARE(rig.host.dispatched, dispatched);
    QCOMPARE(int(rig.link.LinkStatus), int(linkstatus::Idle));
    QVERIFY(rig.link.EmpfangLaenge <= kMaxEmpfangLaenge);
}

void LinkRulesTest::receiverReadsNothingBeforeStart()
{
    Rig rig;
    rig.link.LinkStatus = linkstatus::NotStarted;
    rig.port.in.assign({STX, 0x33, DLE, ETX, 0x33 ^ DLE ^ ETX});
    rig.link.MSComm1_OnComm();
    QCOMPARE(rig.port.in.size(), std::size_t(5));
    QVERIFY(rig.port.out.empty());
}

QTEST_GUILESS_MAIN(LinkRulesTest)
#include "tst_linkrules.moc"
