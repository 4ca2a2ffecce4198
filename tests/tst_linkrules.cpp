// The 3964R rules that hang on an exact byte order or an exact wait: a scripted peer on an
// in-memory line, with a clock that only moves when the link waits.
#include "link/mod3964R.h"
#include "tests/fuzz/FakeLink.h"

#include <QRandomGenerator>
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
    bool send(std::uint8_t byte) { return send(QByteArray(1, char(byte))); }
    bool send(const QByteArray &t) { return link.TelegrammSenden(int(t.size()), t); }

    fuzz::FakeClock clock;
    ScriptedPort port{clock};
    PumpingHost host{clock, port};
    fuzz::CountingSink sink;
    mod3964R link{port, sink, host, clock};
};

constexpr std::uint8_t STX = ctl::STX, ETX = ctl::ETX, DLE = ctl::DLE, NAK = ctl::NAK;

// Data, DLE, ETX and the block check, as the unit closes a block.
Bytes closing(Bytes data, bool stx = false)
{
    data.push_back(DLE);
    data.push_back(ETX);
    data.push_back(blockCheck(data.data(), data.size() - 2, stx));
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
    // One send against a scripted unit: its answer to the tool's STX, then to the block.
    void senderExchanges_data()
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

    void senderExchanges()
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

    void refusedBlocks_data()
    {
        QTest::addColumn<int>("naks");
        QTest::addColumn<bool>("giveWay"); // the unit keeps the line instead of a NAK
        QTest::newRow("5 NAKs") << 5 << false;
        QTest::newRow("6 NAKs") << 6 << false;
        QTest::newRow("6 give-ways") << 6 << true;
    }

    // Each refusal, a NAK to the block or a unit that keeps the line, costs one of six attempts.
    void refusedBlocks()
    {
        QFETCH(int, naks);
        QFETCH(bool, giveWay);
        Rig rig;
        const QByteArray attempt =
            giveWay ? bytes({STX, DLE, DLE}) : bytes({STX}) + bytes(closing({0x31}));
        for (int i = 0; i < 6; ++i) {
            const std::size_t at = std::size_t(i * attempt.size());
            if (giveWay) {
                rig.port.after(at + 1, {STX, STX});
                rig.port.after(at + 2, closing({0x35}));
            } else {
                rig.port.after(at + 1, {DLE});
                rig.port.after(at + 5, {i < naks ? NAK : DLE});
            }
        }
        const bool sent = naks < 6;
        QCOMPARE(rig.send(0x31), sent);
        QCOMPARE(bytes(rig.port.out), attempt.repeated(sent ? naks + 1 : 6));
        QCOMPARE(int(rig.link.LinkFehler), sent ? 0 : int(linkerr::Nak));
        QCOMPARE(rig.host.messages, sent ? 0 : 1);
        QCOMPARE(rig.host.handed, giveWay ? QByteArray(6, 0x35) : QByteArray());
        QCOMPARE(int(rig.link.LinkStatus), int(linkstatus::Idle));
    }

    void dataByte16GoesOnce()
    {
        Rig rig;
        rig.port.after(1, {DLE});
        rig.port.after(7, {DLE});
        QVERIFY(rig.send(bytes({0x41, DLE, 0x42})));
        QCOMPARE(bytes(rig.port.out), bytes({STX, 0x41, DLE, 0x42, DLE, ETX, 0x41 ^ 0x42 ^ ETX}));
    }

    void pauseAfterAcceptedTelegram()
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

    void lineWait_data()
    {
        QTest::addColumn<double>("lastByte"); // of the reception under way, from now
        QTest::addColumn<bool>("sent");
        QTest::addColumn<double>("waited");
        // Bytes keep coming: the send gives up quietly after five seconds.
        QTest::newRow("reception under way") << 100.0 << false << 5.0;
        // No byte for a byte time-out: the reception is over and the send goes.
        QTest::newRow("reception stalled") << 0.0 << true << 1.0 + 0.04;
    }

    void lineWait()
    {
        QFETCH(double, lastByte);
        QFETCH(bool, sent);
        QFETCH(double, waited);
        Rig rig;
        rig.link.LinkStatus = linkstatus::DleSeen;
        rig.link.EmpfangZeit = rig.clock.t + lastByte;
        rig.port.after(1, {DLE});
        rig.port.after(5, {DLE});
        const double t0 = rig.clock.t;
        QCOMPARE(rig.send(0x31), sent);
        QVERIFY2(rig.clock.t - t0 >= waited && rig.clock.t - t0 < waited + 0.01,
                 qPrintable(QString::number(rig.clock.t - t0)));
        QCOMPARE(int(rig.link.LinkStatus), int(linkstatus::Idle));
        QCOMPARE(rig.port.out.size(), sent ? std::size_t(5) : std::size_t(0));
        QCOMPARE(rig.host.messages, 0);
    }

    void demoModeSendsNothing()
    {
        Rig rig;
        rig.host.demo = true;
        rig.link.LinkStatus = linkstatus::Data; // not even the line wait runs
        QVERIFY(rig.send(0x31));
        QCOMPARE(rig.clock.t, 1000.0);
        QVERIFY(rig.port.out.empty());
    }

    void empfangenFailures_data()
    {
        QTest::addColumn<QByteArray>("waiting");  // on the line when the receive starts
        QTest::addColumn<QByteArray>("afterDle"); // sent by the unit once the tool took its STX
        QTest::addColumn<int>("fehler");
        QTest::addColumn<QByteArray>("written");
        const int timeout = linkerr::Timeout, wrong = linkerr::WrongReply;
        QTest::newRow("port closed")
            << QByteArray("closed") << QByteArray() << int(linkerr::PortClosed) << QByteArray();
        QTest::newRow("nothing") << QByteArray() << QByteArray() << timeout << QByteArray();
        QTest::newRow("no STX") << bytes({0x41}) << QByteArray() << wrong << bytes({NAK});
        QTest::newRow("silent after STX")
            << bytes({STX}) << QByteArray() << timeout << bytes({DLE});
        QTest::newRow("silent in the data")
            << bytes({STX}) << bytes({0x30, 0x41}) << timeout << bytes({DLE});
        QTest::newRow("no ETX") << bytes({STX}) << bytes({0x30, DLE, 0x41}) << wrong
                                << bytes({DLE, NAK});
        QByteArray bad = bytes(closing({0x30, 0x41, 0x51}));
        bad.back() = char(bad.back() ^ 0x01);
        QTest::newRow("wrong block check") << bytes({STX}) << bad << wrong << bytes({DLE, NAK});
        QTest::newRow("no block check")
            << bytes({STX}) << bytes({0x30, DLE, ETX}) << timeout << bytes({DLE});
        QTest::newRow("longer than the buffer")
            << bytes({STX}) << bytes(closing({1, 2, 4, 5, 6, 7, 8, 9})) << wrong
            << bytes({DLE, NAK});
    }

    void empfangenFailures()
    {
        QFETCH(QByteArray, waiting);
        QFETCH(QByteArray, afterDle);
        QFETCH(int, fehler);
        QFETCH(QByteArray, written);
        Rig rig;
        rig.port.open = waiting != "closed";
        if (rig.port.open)
            rig.port.in.assign(waiting.begin(), waiting.end());
        rig.port.after(1, Bytes(afterDle.begin(), afterDle.end()));
        std::array<std::uint8_t, 10> memory;
        memory.fill(0xAA);
        int anzahl = 3;
        QVERIFY(!rig.link.TelegrammEmpfangen(anzahl, std::span(memory).first(6)));
        QCOMPARE(int(rig.link.LinkFehler), fehler);
        QCOMPARE(bytes(rig.port.out), written);
        // The head of the buffer is cleared; nothing past its end is touched.
        QCOMPARE(memory[0], std::uint8_t(0));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(memory.data()) + 6, 4),
                 QByteArray(4, char(0xAA)));
    }

    // Bytes from the unit as the serial event finds them: what the tool answers and hands on.
    void receiver_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("stx");
        QTest::addColumn<int>("pauseAfter"); // bytes before a pause of 1.2 s, -1 for none
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QByteArray>("handed");
        const QByteArray stx = bytes({STX});
        auto block = [&](Bytes data, bool withStx = false) {
            return stx + bytes(closing(std::move(data), withStx));
        };
        const QByteArray ok = bytes({DLE, DLE}), refused = bytes({DLE, NAK});
        QTest::newRow("a key") << block({0x33}) << false << -1 << ok << bytes({0x33});
        QTest::newRow("a key, STX variant")
            << block({0x33}, true) << true << -1 << ok << bytes({0x33});
        QTest::newRow("only the first byte")
            << block({0x41, 0x99}) << false << -1 << ok << bytes({0x41});
        QTest::newRow("acknowledgement")
            << block({'l', '1'}) << false << -1 << ok << QByteArray("l1");
        QTest::newRow("bare l gives the DLE")
            << block({'l'}) << false << -1 << ok << bytes({'l', DLE});
        QTest::newRow("two in one event")
            << block({0x33}) + block({0x45}) << false << -1 << ok + ok << bytes({0x33, 0x45});
        QByteArray wrong = block({0x33});
        wrong.back() = char(wrong.back() ^ 1);
        QTest::newRow("wrong block check") << wrong << false << -1 << refused << QByteArray();
        QTest::newRow("STX variant's check without STX")
            << block({0x33}) << true << -1 << refused << QByteArray();
        QTest::newRow("doubled DLE") << bytes({STX, 0x33, DLE, DLE, ETX, 0x33 ^ DLE ^ ETX}) << false
                                     << -1 << refused << QByteArray();
        QTest::newRow("pause inside")
            << block({0x33}) << false << 2 << bytes({DLE}) << QByteArray();
        // A telegram ends at its 299th character: the closing DLE may be the 298th.
        QTest::newRow("297 + DLE: taken")
            << block(Bytes(297, 0x41)) << false << -1 << ok << bytes({0x41});
        // The 299th character is the DLE: NAK, but the DLE still moves the receiver on, and
        // the block check that follows decides as usual.
        QTest::newRow("298 + DLE: NAK, then taken")
            << block(Bytes(298, 0x41)) << false << -1 << bytes({DLE, NAK, DLE}) << bytes({0x41});
        QTest::newRow("299: refused")
            << block(Bytes(299, 0x41)) << false << -1 << refused << QByteArray();
    }

    void receiver()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, stx);
        QFETCH(int, pauseAfter);
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, handed);
        Rig rig;
        rig.port.stx = stx;
        const qsizetype first = pauseAfter < 0 ? line.size() : pauseAfter;
        rig.port.in.assign(line.begin(), line.begin() + first);
        rig.link.MSComm1_OnComm();
        rig.clock.sleep(1.2);
        rig.port.in.insert(rig.port.in.end(), line.begin() + first, line.end());
        rig.link.MSComm1_OnComm();
        QCOMPARE(bytes(rig.port.out), written);
        QCOMPARE(rig.host.handed, handed);
        QCOMPARE(int(rig.link.LinkStatus), int(linkstatus::Idle));
        QVERIFY(rig.link.EmpfangLaenge <= kMaxEmpfangLaenge);
    }

    // What the fuzz targets check, over streams made of whole blocks, broken blocks and noise,
    // in pieces with pauses between them. The seed is in any failure's message.
    void randomStreams()
    {
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator rng(seed);
        auto pick = [&](int n) { return int(rng.bounded(n)); };
        for (int run = 0; run < 3000; ++run) {
            QByteArray line;
            for (int f = pick(6); f >= 0; --f) {
                Bytes data(std::size_t(pick(4)), std::uint8_t(0x30 + pick(0x30)));
                QByteArray fragment = bytes({STX}) + bytes(closing(data, pick(2)));
                switch (pick(4)) {
                case 0: // a byte lost, doubled or changed
                    fragment[pick(int(fragment.size()))] = char(pick(256));
                    break;
                case 1:
                    fragment = QByteArray(1 + pick(3), char(pick(256)));
                    break;
                }
                line += fragment;
            }
            QByteArray receiver(1, char(pick(2)));
            for (qsizetype i = 0; i < line.size();) {
                const int n = std::min<int>(pick(16), int(line.size() - i));
                receiver += char(n | (pick(4) << 4) | (pick(20) == 0 ? 0x40 | pick(2) << 7 : 0));
                receiver += line.mid(i, n);
                i += n;
            }
            const QByteArray empfangen = char(pick(256)) + line;
            for (const auto &[input, check] : {std::pair(receiver, &fuzz::receiverFailure),
                                               std::pair(empfangen, &fuzz::empfangenFailure)}) {
                const std::string failed =
                    check(reinterpret_cast<const std::uint8_t *>(input.constData()), input.size());
                QVERIFY2(failed.empty(), qPrintable(QStringLiteral("seed %1, input %2: %3")
                                                        .arg(seed)
                                                        .arg(input.toHex())
                                                        .arg(QString::fromStdString(failed))));
            }
        }
    }

    void receiverReadsNothingBeforeStart()
    {
        Rig rig;
        rig.link.LinkStatus = linkstatus::NotStarted;
        rig.port.in.assign({STX, 0x33, DLE, ETX, 0x33 ^ DLE ^ ETX});
        rig.link.MSComm1_OnComm();
        QCOMPARE(rig.port.in.size(), std::size_t(5));
        QVERIFY(rig.port.out.empty());
    }
};

QTEST_GUILESS_MAIN(LinkRulesTest)
#include "tst_linkrules.moc"
