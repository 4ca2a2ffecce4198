// The 3964R link. Rules that hang on an exact byte order or an exact wait: a scripted peer on an
// in-memory line, with a clock that only moves when the link waits, and the receiving side over
// seeded random streams. Then the serial port adapter on a real pseudo-terminal: raw bytes both
// ways, counts seen without the event loop, the receive threshold, the settings, a vanished
// port; and the link over it against the simulated unit, where the real line's timing matters.
#include "TestSupport.h"
#include "check/HeadlessPanel.h"
#include "station/Station.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace kelm;

namespace {
using Bytes = std::vector<std::uint8_t>;
// The unit's replies, each once the tool has written so many bytes.
using Script = std::vector<std::pair<std::size_t, Bytes>>;
constexpr std::uint8_t STX = ctl::STX, ETX = ctl::ETX, DLE = ctl::DLE, NAK = ctl::NAK;

// The link, at rest, with its port, clock, screen and traffic record in one: the input is a byte
// queue that a script fills once the tool has written so many bytes; time moves only when the
// link waits, and a wait that lets the event loop run raises the serial event for waiting bytes.
class Rig : public CommPort, public LinkHost, public Clock, public TrafficSink
{
public:
    explicit Rig(bool stx = false) : stx(stx) { link.LinkStatus = linkstatus::Idle; }
    void play(const Script &s) { m_script.insert(m_script.end(), s.begin(), s.end()); }

    bool portOpen() const override { return open; }
    int inBufferCount() override { return open ? int(in.size()) : 0; }
    void setInputLen(int length) override { m_inputLen = length; }
    QByteArray input() override
    {
        QByteArray out;
        for (; open && !in.empty() && (m_inputLen == 0 || out.size() < m_inputLen); in.pop_front())
            out += char(in.front());
        return out;
    }
    void output(const QByteArray &bytes) override
    {
        if (!open)
            return;
        out.insert(out.end(), bytes.begin(), bytes.end());
        for (; !m_script.empty() && out.size() >= m_script.front().first; m_script.pop_front())
            in.insert(in.end(), m_script.front().second.begin(), m_script.front().second.end());
    }
    void setRThreshold(int threshold) override { m_threshold = threshold; }
    int rThreshold() const override { return m_threshold; }
    int commEvent() const override { return EventReceive; }
    QString tag() const override { return stx ? QStringLiteral("STX") : QString(); }
    // Nothing will come while the queue is empty: the time-outs run.
    void waitForInput(int msecs) override { sleep(in.empty() ? msecs / 1000.0 : 0); }

    bool demoMode() const override { return false; }
    void showMessage(const QString &) override { ++messages; }
    void pumpEvents() override
    {
        sleep(0.001);
        if (dripMs > 0 && ++m_pumps % dripMs == 0)
            in.push_back(0x31);
        if (m_threshold > 0 && !in.empty())
            link.MSComm1_OnComm();
    }
    void TasteSetzen(std::uint8_t &Taste) override { handed += char(Taste); }
    void DisplayQuittung(std::uint8_t &q) override { handed.append('l').append(char(q)); }

    double now() const override { return t; }
    void sleep(double seconds) override { t += std::max(seconds, 0.0); }

    void V24MonWriteBuf(std::uint8_t, std::uint8_t) override { ++records; }
    void note(const QString &e, bool urgent) override { notes << (urgent ? "urgent: " : "") + e; }

    std::deque<std::uint8_t> in;
    std::vector<std::uint8_t> out;
    bool open = true, stx = false;
    // Messages on screen; dripMs: a data byte from the unit every so many ms the link lets
    // events run.
    int messages = 0, dripMs = 0;
    long records = 0;
    QStringList notes;
    double t = 1000.0;
    // What the receiver handed on: a key report as its byte, an acknowledgement as 'l' and
    // its digit.
    QByteArray handed;
    mod3964R link{*this, *this, *this, *this};

private:
    std::deque<std::pair<std::size_t, Bytes>> m_script;
    int m_inputLen = 1, m_threshold = 1;
    long m_pumps = 0;
};

// Data, DLE, ETX and the block check, as the unit closes a block.
const auto closing = [](Bytes data, bool stx = false) {
    data.insert(data.end(), {DLE, ETX});
    data.push_back(blockCheck(data.data(), data.size() - 2, stx));
    return data;
};

// Bytes of the line as a QByteArray, for Qt Test's data tables and messages.
const auto bytes = [](const Bytes &b) { return QByteArrayView(b).toByteArray(); };

#define EXPECT(cond)                                                                               \
    do {                                                                                           \
        if (!(cond))                                                                               \
            return QStringLiteral(#cond);                                                          \
    } while (0)

// The serial event over `line` in pieces of up to 15 bytes with pauses between them, now and
// then a reset setting the receiver back; returns the property that failed, empty if none.
QString receiverFailure(const QByteArray &line, bool stx, QRandomGenerator &rng)
{
    Rig rig(stx);
    for (qsizetype i = 0, n = 0; i < line.size(); i += n) {
        n = std::min(qsizetype(rng.bounded(16)), line.size() - i);
        rig.sleep(0.3 * rng.bounded(5));
        rig.in.insert(rig.in.end(), line.begin() + i, line.begin() + i + n);
        if (rng.bounded(20) == 0)
            rig.link.LinkStatus = rng.bounded(2) ? linkstatus::NotStarted : linkstatus::Idle;
        rig.link.MSComm1_OnComm();
        EXPECT(rig.link.LinkStatus <= linkstatus::BccDue);
        EXPECT(rig.link.EmpfangLaenge >= 0 && rig.link.EmpfangLaenge <= kMaxEmpfangLaenge);
        EXPECT(rig.link.EmpfangTelegramm.size() == rig.link.EmpfangLaenge);
        EXPECT(rig.link.LinkStatus == linkstatus::NotStarted || rig.in.empty());
        // The receiver answers nothing else.
        EXPECT(std::ranges::all_of(rig.out, [](auto b) { return b == DLE || b == NAK; }));
    }
    // Every byte read reached the record, and every answer written too.
    EXPECT(rig.records == line.size() - long(rig.in.size()) + long(rig.out.size()));
    // Whatever the stream left behind, a send gets the line within the protocol's limits.
    rig.in.clear();
    const double start = rig.t;
    rig.link.TelegrammSenden(1, "#");
    EXPECT(rig.t - start <= kLineWait + 3 * kByteTimeout);
    EXPECT(rig.link.LinkStatus == linkstatus::Idle);
    return {};
}

// The synchronous receiver over `line` as the reply, into a buffer of `size` bytes allocated
// at its exact size, so that the sanitizer build sees any write past it.
QString empfangenFailure(const QByteArray &line, bool stx, bool open, std::size_t size)
{
    Rig rig(stx);
    rig.open = open;
    rig.in.assign(line.begin(), line.end());
    const auto buffer = std::make_unique<std::uint8_t[]>(size);
    int anzahl = -1;
    const bool ok = rig.link.TelegrammEmpfangen(anzahl, std::span(buffer.get(), size));
    // At most 299 bytes plus head and tail, each within one byte time-out.
    EXPECT(rig.t - 1000.0 <= (kMaxEmpfangLaenge + 8) * kByteTimeout);
    const int f = rig.link.LinkFehler;
    if (!ok)
        EXPECT(f == linkerr::PortClosed || f == linkerr::Timeout || f == linkerr::WrongReply);
    else
        EXPECT(anzahl >= 1 && std::size_t(anzahl) + 1 < size && buffer[0] == 0 &&
               blockCheck(buffer.get() + 1, std::size_t(anzahl), stx) == buffer[anzahl + 1] &&
               !rig.out.empty() && rig.out.back() == DLE);
    return {};
}
#undef EXPECT

// Com 1 on a pseudo-terminal whose far end is read and written by the test itself; with
// `server` ("rfc2217" or "tcp") through ser2net, which starts the line at 9600,e,8,1.
struct RawLine
{
    explicit RawLine(const QString &settings = "9600,e,8,1", const QString &server = {})
    {
        line.unit->stop();
        line.wire(port);
        if (!server.isEmpty()) {
            net = std::make_unique<test::Ser2net>(line.device(), server);
            port.setDeviceResolver([url = net->url](int) { return url; });
        }
        port.setSettings(settings);
        opened = port.setPortOpen(true);
    }
    void write(const QByteArray &b) { QCOMPARE(::write(fd(), b.constData(), b.size()), b.size()); }
    QByteArray read(int count) { return test::readAvailable(fd(), 2000, count); }
    // A byte whose notice reaches the port's read notifier after the link's own poll took it:
    // the notifier's read comes back empty, with `staleErrno` left from an earlier call.
    void emptyRead(int staleErrno)
    {
        write("s");
        QTest::qSleep(30); // the byte is in the slave's queue before the loop polls
        auto drain = [this, staleErrno] {
            while (port.inBufferCount() > 0)
                port.input();
            errno = staleErrno;
        };
        // Runs before the read notifier in the same pass of the event loop.
        QMetaObject::invokeMethod(&port, drain, Qt::QueuedConnection);
        QCoreApplication::processEvents();
        QTest::qWait(50);
    }
    int fd() const { return line.pty.master(); }
    test::UnitOnLine line;
    std::unique_ptr<test::Ser2net> net;
    MSComm port;
    bool opened = false;
};

// An RFC 2217 server of the test's own on 127.0.0.1, in a thread, for the answers ser2net never
// gives: "dont" refuses the option, "babble" answers it with an endless subnegotiation only,
// "parity" sets no parity whatever is asked (and offers options of its own first), "no flow
// control" leaves that setting, the last, unanswered, "wont binary" and "dont binary" refuse binary
// transmission one way and leave the option unanswered, "late wont binary" takes the option first
// and refuses binary 0.1 s later, "close" hangs up at once, "none" is not there; "url NAME" is no
// server either, only that name.
struct ScriptedServer
{
    explicit ScriptedServer(const QString &mode)
    {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), len);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(ntohs(a.sin_port));
        if (mode.startsWith("url "))
            url = mode.mid(4);
        else if (mode != "none" && ::listen(fd, 1) == 0) // bound, not listening: refused
            thread = std::thread([this, mode] { serve(mode); });
    }
    ~ScriptedServer()
    {
        if (stop = true; thread.joinable())
            thread.join();
        ::close(fd);
    }
    // Ends with the client, at the latest after 10 s.
    void serve(const QString &mode)
    {
        pollfd p{fd, POLLIN, 0};
        const int c = ::poll(&p, 1, 10000) == 1 ? ::accept(fd, nullptr, nullptr) : -1;
        // Offers of its own, each owed an answer: SGA, ECHO both ways, and a request for
        // TERMINAL-TYPE.
        if (c >= 0 && mode == "parity")
            ::send(c, "\xff\xfb\x03\xff\xfb\x01\xff\xfd\x01\xff\xfd\x18", 12, MSG_NOSIGNAL);
        QByteArray in, out;
        bool tookOption = false;
        char buf[256];
        pollfd q{c, POLLIN, 0};
        for (int i = 0; c >= 0 && mode != "close" && i < 100 && !stop; ++i) {
            const bool ready = ::poll(&q, 1, 100) == 1;
            const ssize_t n = ready ? ::read(c, buf, sizeof buf) : 0;
            in.append(buf, int(std::max<ssize_t>(n, 0)));
            heard.append(buf, int(std::max<ssize_t>(n, 0)));
            // Still false here: a hang-up ends the loop.
            hungUp = ready && (n == 0 || (q.revents & POLLHUP));
            if (n < 0 || hungUp)
                break;
            // WONT to the client's DO BINARY, DONT to its WILL.
            const bool late = mode == "late wont binary";
            const QByteArray binary = mode.endsWith("wont binary")   ? "\xff\xfd"
                                      : mode.endsWith("dont binary") ? "\xff\xfb"
                                                                     : "";
            if (!binary.isEmpty() && in.contains(binary + '\0') && (!late || tookOption)) {
                in.replace(binary + '\0', "");
                if (late)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                out = QByteArray(binary == "\xff\xfd" ? "\xff\xfc" : "\xff\xfe") + '\0';
            } else if (in.contains("\xff\xfb\x2c") && (binary.isEmpty() || late)) { // once
                tookOption = true;
                in.replace("\xff\xfb\x2c", "");
                out = mode == "dont"     ? QByteArray("\xff\xfe\x2c")
                      : mode == "babble" ? "\xff\xfa\x2c\x6b" + QByteArray(1000, '\xff')
                                         : QByteArray("\xff\xfd\x2c");
            }
            // Each setting answered with the value asked; in "parity" mode, parity with none.
            for (int at, end; (at = in.indexOf("\xff\xfa\x2c")) >= 0 &&
                              (end = in.indexOf("\xff\xf0", at)) > at;) {
                QByteArray sb = in.mid(at + 3, end - at - 3);
                sb[0] = char(sb[0] + 100);
                if (mode == "parity" && sb[0] == char(103))
                    sb[1] = 1;
                if (mode != "no flow control" || sb[0] != char(105))
                    out += "\xff\xfa\x2c" + sb + "\xff\xf0";
                in.remove(at, end + 2 - at);
            }
            if (!out.isEmpty() && ::send(c, out.constData(), size_t(out.size()), MSG_NOSIGNAL) < 0)
                break;
            out.clear();
        }
        ::close(c);
    }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QString url;
    // The test asks the thread to stop; hungUp: the client closed its end.
    std::atomic<bool> stop{false}, hungUp{false};
    QByteArray heard; // all the client sent; to be read once it hung up
    std::thread thread;
};

const QString malformedName =
    QStringLiteral("not a network port; rfc2217://HOST:PORT or tcp://HOST:PORT expected");

struct LinkRig
{
    explicit LinkRig(bool stx = false) : on(sink, host, stx) { host.setDemoMode(false); }
    test::RecordingSink sink;
    HeadlessPanel host;
    test::LinkOnLine on;
};

// One send against a scripted unit, and what it leaves.
struct Send
{
    Script script{};
    bool sent = false;
    int fehler = linkerr::Ok;
    QByteArray written{};
    // The time the send takes, at least and less than; the last byte of a reception under way,
    // from now, < 0 for an idle line.
    double from = 0, below = 0.05, lastByte = -1;
    QByteArray telegram = "1", handed{};
    int dripMs = 0;
};

// A receive that fails: what waits on the line when it starts, what the unit sends once the
// tool took its STX, and what the tool answers.
struct Empfang
{
    Bytes waiting, afterDle;
    int fehler;
    Bytes written;
    bool open = true;
};

// Bytes from the unit as the serial event finds them: what the tool answers and hands on.
struct Arrival
{
    QByteArray line{};
    Bytes written{}, handed{};
    bool stx = false, started = true;
    int pauseAfter = -1; // bytes before a pause of 1.2 s, -1 for none
};
} // namespace

class LinkTest : public QObject
{
    Q_OBJECT

private slots:
    void sends_data()
    {
        QTest::addColumn<Send>("c");
        const QByteArray stx = bytes({STX}), block = bytes(closing({0x31}));
        const Script accepts{{1, {DLE}}, {5, {DLE}}};
        const int ok = linkerr::Ok, timeout = linkerr::Timeout, nak = linkerr::Nak;
        auto row = [](const char *name, const Send &c) { QTest::newRow(name) << c; };
        // One pass of the line wait (1 ms here), then the 40 ms pause; no other wait.
        row("accepted", {accepts, true, ok, stx + block, 0.04, 0.0415});
        row("NAK to STX: the data follow", {{{1, {NAK}}, {5, {DLE}}}, true, ok, stx + block});
        // A time-out ends the send after one byte wait, not more.
        row("wrong reply to the block",
            {{{1, {DLE}}, {5, {0x41}}}, false, linkerr::WrongReply, stx + block, 0, 1.1});
        row("silent after the block", {{{1, {DLE}}}, false, timeout, stx + block, 0, 1.1});
        // The unit answers with an STX of its own, then with the byte that decides.
        row("conflict, then NAK: next attempt",
            {{{1, {STX, NAK}}, {2, {DLE}}, {6, {DLE}}}, true, ok, stx + stx + block});
        row("conflict, then DLE: go ahead", {{{1, {STX, DLE}}, {5, {DLE}}}, true, ok, stx + block});
        row("conflict, then silence", {{{1, {STX}}}, false, timeout, stx, 0, 1.1});
        const QByteArray dataDle = bytes({0x41, DLE, 0x42}),
                         sentDle = bytes({STX, 0x41, DLE, 0x42, DLE, ETX, 0x41 ^ 0x42 ^ ETX});
        row("data byte 16 goes once",
            {{{1, {DLE}}, {7, {DLE}}}, true, ok, sentDle, 0.04, 0.0415, -1, dataDle});
        // Bytes keep coming: the send gives up quietly after five seconds.
        row("reception under way", {.script = accepts, .from = 5, .below = 5.01, .lastByte = 100});
        // No byte for a byte time-out: the reception is over and the send goes.
        row("reception stalled", {accepts, true, ok, stx + block, 1.04, 1.05, 0});
        // A give-way starts the line wait afresh: the unit's telegram that follows may stall
        // for its byte time-out, past the line wait counted from the first.
        const Script late{{1, {STX, 0x31}}, {3, {DLE}}, {7, {DLE}}};
        row("give way late in the line wait",
            {late, true, ok, stx + bytes({DLE}) + stx + block, 5.5, 5.6, 3.5});
        // Each refusal, a NAK to the block or a unit that keeps the line, costs one of six
        // attempts.
        Script refused, keeping;
        for (std::size_t i = 0; i < 6; ++i) {
            refused.insert(refused.end(), {{5 * i + 1, {DLE}}, {5 * i + 5, {NAK}}});
            keeping.insert(keeping.end(), {{3 * i + 1, {STX, STX}}, {3 * i + 2, closing({0x35})}});
        }
        row("6 NAKs", {refused, false, nak, (stx + block).repeated(6)});
        refused.back().second = {DLE};
        row("5 NAKs", {refused, true, ok, (stx + block).repeated(6)});
        // The code of the give-way stays when the unit then keeps the line past the line wait.
        row("give way, then the line kept busy", {.script = {{1, {STX, 0x31}}},
                                                  .fehler = nak,
                                                  .written = stx + bytes({DLE}),
                                                  .from = 5,
                                                  .below = 5.1,
                                                  .dripMs = 500});
        const QByteArray gaveWay = bytes({STX, DLE, DLE}).repeated(6);
        row("6 give-ways",
            {.script = keeping, .fehler = nak, .written = gaveWay, .handed = QByteArray(6, 0x35)});
    }

    void sends()
    {
        QFETCH(Send, c);
        Rig rig;
        rig.link.LinkStatus = c.lastByte < 0 ? linkstatus::Idle : linkstatus::DleSeen;
        rig.link.EmpfangZeit = rig.t + c.lastByte;
        rig.play(c.script);
        rig.dripMs = c.dripMs;
        const double t0 = rig.t;
        QCOMPARE(rig.link.TelegrammSenden(int(c.telegram.size()), c.telegram), c.sent);
        // The error, the receiver back at rest, the bytes written and those handed on.
        QCOMPARE(std::tuple(int(rig.link.LinkFehler), int(rig.link.LinkStatus), rig.rThreshold(),
                            bytes(rig.out), rig.handed),
                 std::tuple(c.fehler, int(linkstatus::Idle), 1, c.written, c.handed));
        // A line that stays busy is noted only; a refused send is also said on screen.
        const bool busy = c.from >= kLineWait;
        QCOMPARE(rig.messages, c.sent || busy ? 0 : 1);
        // A failed send is in the record at once, whatever ends the program next.
        const QString failed = busy ? "line busy" : QStringLiteral("error %1").arg(c.fehler);
        QCOMPARE(rig.notes, c.sent ? QStringList() : QStringList{"urgent: send failed, " + failed});
        const double waited = rig.t - t0;
        QVERIFY2(waited >= c.from && waited < c.below, qPrintable(QString::number(waited)));
    }

    void empfangenFailures_data()
    {
        QTest::addColumn<Empfang>("c");
        const int timeout = linkerr::Timeout, wrong = linkerr::WrongReply;
        QTest::newRow("port closed") << Empfang{{}, {}, linkerr::PortClosed, {}, false};
        QTest::newRow("nothing") << Empfang{{}, {}, timeout, {}};
        QTest::newRow("no STX") << Empfang{{0x41}, {}, wrong, {NAK}};
        QTest::newRow("silent after STX") << Empfang{{STX}, {}, timeout, {DLE}};
        QTest::newRow("silent in the data") << Empfang{{STX}, {0x30, 0x41}, timeout, {DLE}};
        QTest::newRow("silent after DLE") << Empfang{{STX}, {0x30, DLE}, timeout, {DLE}};
        QTest::newRow("no ETX") << Empfang{{STX}, {0x30, DLE, 0x41}, wrong, {DLE, NAK}};
        Bytes bad = closing({0x30, 0x41, 0x51});
        bad.back() ^= 0x01;
        QTest::newRow("wrong block check") << Empfang{{STX}, bad, wrong, {DLE, NAK}};
        QTest::newRow("no block check") << Empfang{{STX}, {0x30, DLE, ETX}, timeout, {DLE}};
        QTest::newRow("longer than the buffer")
            << Empfang{{STX}, closing({1, 2, 4, 5, 6, 7, 8, 9}), wrong, {DLE, NAK}};
        // Refused at its 299th character, without waiting for more.
        QTest::newRow("no end in sight") << Empfang{{STX}, Bytes(299, 0x30), wrong, {DLE, NAK}};
    }

    void empfangenFailures()
    {
        QFETCH(Empfang, c);
        Rig rig;
        rig.open = c.open;
        rig.in.assign(c.waiting.begin(), c.waiting.end());
        rig.play({{1, c.afterDle}});
        Bytes memory(10, 0xAA);
        int anzahl = 3;
        QVERIFY(!rig.link.TelegrammEmpfangen(anzahl, std::span(memory).first(6)));
        // No count for a telegram refused; the error, the tool's answers, and every byte the
        // unit sent read: none is left to be taken for the start of the next telegram.
        QCOMPARE(std::tuple(anzahl, int(rig.link.LinkFehler), bytes(rig.out), rig.in.size()),
                 std::tuple(3, c.fehler, bytes(c.written), std::size_t(0)));
        // The head of the buffer is cleared; nothing past its end is touched.
        QCOMPARE(bytes(memory).remove(1, 5), bytes({0, 0xAA, 0xAA, 0xAA, 0xAA}));
    }

    void receiver_data()
    {
        QTest::addColumn<Arrival>("c");
        auto block = [](Bytes data, bool withStx = false) {
            return bytes({STX}) + bytes(closing(std::move(data), withStx));
        };
        const Bytes ok{DLE, DLE}, refused{DLE, NAK};
        auto row = [](const char *name, const Arrival &c) { QTest::newRow(name) << c; };
        row("a key", {block({0x33}), ok, {0x33}});
        row("a key, STX variant", {block({0x33}, true), ok, {0x33}, true});
        row("only the first byte", {block({0x41, 0x99}), ok, {0x41}});
        row("acknowledgement", {block({'l', '1'}), ok, {'l', '1'}});
        row("bare l gives the DLE", {block({'l'}), ok, {'l', DLE}});
        row("two in one event", {block({0x33}) + block({0x45}), Bytes(4, DLE), {0x33, 0x45}});
        row("wrong block check", {bytes({STX, 0x33, DLE, ETX, 0x33 ^ DLE ^ ETX ^ 1}), refused});
        row("STX variant's check without STX", {block({0x33}), refused, {}, true});
        row("doubled DLE", {bytes({STX, 0x33, DLE, DLE, ETX, 0x33 ^ DLE ^ ETX}), refused});
        row("pause inside", {.line = block({0x33}), .written = {DLE}, .pauseAfter = 2});
        // A telegram ends at its 299th character: the closing DLE may be the 298th.
        row("297 + DLE: taken", {block(Bytes(297, 0x41)), ok, {0x41}});
        // The 299th character is the DLE: NAK, but the DLE still moves the receiver on, and
        // the block check that follows decides as usual.
        row("298 + DLE: NAK, then taken", {block(Bytes(298, 0x41)), {DLE, NAK, DLE}, {0x41}});
        row("299: refused", {block(Bytes(299, 0x41)), refused});
        // Before the receiver is started the serial event leaves every byte where it is.
        row("not started", {.line = block({0x33}), .started = false});
    }

    void receiver()
    {
        QFETCH(Arrival, c);
        Rig rig(c.stx);
        const std::uint8_t status = c.started ? linkstatus::Idle : linkstatus::NotStarted;
        rig.link.LinkStatus = status;
        const qsizetype first = c.pauseAfter < 0 ? c.line.size() : c.pauseAfter;
        rig.in.assign(c.line.begin(), c.line.begin() + first);
        rig.link.MSComm1_OnComm();
        rig.sleep(1.2);
        rig.in.insert(rig.in.end(), c.line.begin() + first, c.line.end());
        rig.link.MSComm1_OnComm();
        // The answers, what was handed on, the bytes left waiting and the receiver's state.
        QCOMPARE(std::tuple(bytes(rig.out), rig.handed, rig.in.size(), int(rig.link.LinkStatus)),
                 std::tuple(bytes(c.written), bytes(c.handed),
                            c.started ? 0 : std::size_t(c.line.size()), int(status)));
        QVERIFY(rig.link.EmpfangLaenge <= kMaxEmpfangLaenge);
    }

    // Streams of whole blocks, broken blocks and noise, in pieces with pauses between them. The
    // seed is in any failure's message.
    void randomStreams()
    {
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator rng(seed);
        for (int run = 0; run < 3000; ++run) {
            const bool stx = rng.bounded(2);
            QByteArray line;
            for (int f = int(rng.bounded(6)); f >= 0; --f) {
                Bytes data(rng.bounded(4));
                std::ranges::generate(data, [&] { return std::uint8_t(rng.bounded(0x30, 0x60)); });
                QByteArray fragment = bytes({STX}) + bytes(closing(data, stx));
                if (rng.bounded(4) == 0) // a byte lost, doubled or changed
                    fragment[rng.bounded(int(fragment.size()))] = char(rng.bounded(256));
                else if (rng.bounded(4) == 0)
                    fragment = QByteArray(1 + int(rng.bounded(3)), char(rng.bounded(256)));
                line += fragment;
            }
            const QString failed = receiverFailure(line, stx, rng) +
                                   empfangenFailure(line, stx, rng.bounded(16), rng.bounded(12));
            QVERIFY2(failed.isEmpty(),
                     qPrintable(QString("seed %1, %2: %3").arg(seed).arg(line.toHex(), failed)));
        }
    }

    void rawBytesBothWays_data()
    {
        QTest::addColumn<QString>("server");
        QTest::newRow("pseudo-terminal") << QString();
        // 0xFF is Telnet's IAC there: doubled on the socket, single on the line. The server
        // starts the line at 9600; the port sets 19200, odd parity, and then 9600 again.
        QTest::newRow("RFC 2217 through ser2net") << "rfc2217";
        // No settings go over a raw socket: the line stays as the server set it.
        QTest::newRow("raw TCP through ser2net") << "tcp";
    }

    // The settings reach the line. Then every byte value both ways, unchanged; the count sees
    // waiting bytes without the event loop; waiting on a silent line sleeps rather than
    // returning at once.
    void rawBytesBothWays()
    {
        QFETCH(QString, server);
        using P = QSerialPort;
        RawLine raw(QStringLiteral("19200,e,8,1"), server);
        QVERIFY2(raw.opened, qPrintable(raw.port.errorString()));
        if (server != "tcp") {
            termios tio{};
            // The slave's settings are visible through any descriptor of the pair.
            QCOMPARE(::tcgetattr(raw.fd(), &tio), 0);
            QCOMPARE(cfgetospeed(&tio), speed_t(B19200));
            QCOMPARE(tio.c_cflag & (CSIZE | CSTOPB), tcflag_t(CS8));
            // A pseudo-terminal has no parity bit to keep; what was applied is checked instead,
            // recorded once the port took it all.
            const LineSettings applied = raw.port.appliedSettings();
            QCOMPARE(std::tuple(applied.parity, applied.baud), std::tuple(P::EvenParity, 19200));
            raw.port.setSettings(QStringLiteral("9600,o,8,1"));
            QCOMPARE(raw.port.appliedSettings().parity, P::OddParity);
            raw.port.setSettings(QStringLiteral("9600,e,8,1"));
            QCOMPARE(::tcgetattr(raw.fd(), &tio), 0);
            QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
        }
        QByteArray all; // every byte value, each written on its own
        for (int v = 0; v < 256; ++v)
            raw.port.output(all.append(char(v)).last(1));
        QCOMPARE(raw.read(256), all);
        raw.write(all);
        QByteArray back;
        raw.port.setInputLen(1);
        QElapsedTimer t;
        t.start();
        // What waits is taken a byte at a time; only then does the port wait for more.
        for (; back.size() < 256 && t.elapsed() < 3000; raw.port.waitForInput(20))
            while (back.size() < 256 && raw.port.inBufferCount() > 0 && t.elapsed() < 3000)
                back += raw.port.input();
        QCOMPARE(back, all);
        raw.write("abc");
        // Seen with neither the event loop nor a wait on the port.
        while (raw.port.inBufferCount() < 1 && t.elapsed() < 5000)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        while (raw.port.inBufferCount() < 3 && t.elapsed() < 5000)
            raw.port.waitForInput(20);
        QCOMPARE(raw.port.inBufferCount(), 3);
        QCOMPARE(raw.port.input(), QByteArray("a"));
        QCOMPARE(raw.port.inBufferCount(), 2);
        raw.port.setInputLen(0);
        QCOMPARE(raw.port.input(), QByteArray("bc"));
        t.restart();
        raw.port.waitForInput(50);
        QVERIFY(t.elapsed() >= 40);
        LineSettings s;
        for (const char *bad : {"9600,x,8,1", "9600,e,8,1,1", "9600,e,9,1", "9600,e,4,1",
                                "9600,e,8,1.2", "0,e,8,1", "-1,e,8,1"})
            QVERIFY2(!parseLineSettings(QLatin1String(bad), &s), bad);
        // Every parity, word length and stop-bit count a line may be given.
        for (const auto &[text, baud, parity, bits, stop] :
             {std::tuple(" 4800 , O,7,2", 4800, P::OddParity, 7, P::TwoStop),
              {"1,n,5,1.5", 1, P::NoParity, 5, P::OneAndHalfStop},
              {"19200,M,6,1", 19200, P::MarkParity, 6, P::OneStop},
              {"9600,s,8,1", 9600, P::SpaceParity, 8, P::OneStop},
              {"9600,E,8,2", 9600, P::EvenParity, 8, P::TwoStop}}) {
            s = {};
            QVERIFY2(parseLineSettings(QLatin1String(text), &s) && s.baud == baud &&
                         s.parity == parity && s.dataBits == bits && s.stopBits == stop,
                     text);
        }
        // Com n is the n-th port the system lists, by name, in whatever order it lists them.
        const QStringList listed{"/dev/ttyUSB0", "/dev/ttyS0", "/dev/ttyACM0"};
        QCOMPARE((QStringList{comDeviceAmong(1, listed), comDeviceAmong(3, listed),
                              comDeviceAmong(4, listed)}),
                 (QStringList{"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyS3"}));
        // Closed on purpose: no loss to report.
        QSignalSpy lost(&raw.port, &MSComm::portLost);
        raw.port.setPortOpen(false);
        QTest::qWait(50);
        QVERIFY(lost.isEmpty());
        // Settings the device or the client refuses fail the open, with the port and why. A
        // pseudo-terminal's master is no pseudo-terminal line: its parity counts.
        if (server.isEmpty())
            raw.port.setDeviceResolver([](int) { return QStringLiteral("/dev/ptmx"); });
        raw.port.setSettings(server.isEmpty() ? "9600,e,8,1" : "fast");
        QVERIFY(!raw.port.setPortOpen(true));
        const QString why = server.isEmpty() ? QString::fromLocal8Bit(std::strerror(EINVAL))
                                             : "Ungültige Einstellung \"fast\"";
        QCOMPARE(raw.port.errorString(), "Com 1 (" + raw.port.systemLocation() + "): " + why);
    }

    void networkPortRefusals_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("option refused")
            << QString("dont") << "server refused the COM-PORT-CONTROL option";
        QTest::newRow("no answer, only nonsense")
            << QString("babble") << "server did not answer the COM-PORT-CONTROL option";
        QTest::newRow("parity refused") << QString("parity") << "server refused parity even";
        QTest::newRow("flow control not confirmed")
            << QString("no flow control") << "server did not confirm flow control none";
        for (const char *binary : {"wont binary", "dont binary", "late wont binary"})
            QTest::newRow(binary) << QString(binary) << "server refused binary transmission";
        QTest::newRow("hung up at once") << QString("close") << "connection closed by the server";
        QTest::newRow("nobody there") << QString("none") << "Connection refused";
        // Names given as they stand ("url NAME"): any port number is a port, nothing else is.
        QTest::newRow("port 1") << "url tcp://127.0.0.1:1" << QString(); // any but that
        QTest::newRow("no port") << "url rfc2217://127.0.0.1" << malformedName;
        QTest::newRow("port 0") << "url tcp://127.0.0.1:0" << malformedName;
        QTest::newRow("a path") << "url tcp://127.0.0.1:4001/a" << malformedName;
    }

    // Each refusal is an open failure that names the port and the reason, within seconds.
    void networkPortRefusals()
    {
        QFETCH(QString, mode);
        QFETCH(QString, reason);
        ScriptedServer server(mode);
        MSComm port;
        port.setDeviceResolver([&server](int) { return server.url; });
        const QDeadlineTimer deadline(5000);
        QVERIFY(!port.setPortOpen(true) && !deadline.hasExpired());
        if (reason.isEmpty())
            QVERIFY2(!port.errorString().contains(malformedName), qPrintable(port.errorString()));
        else
            QCOMPARE(port.errorString(), "Com 1 (" + server.url + "): " + reason);
        QVERIFY(!port.portOpen());
        // A refused open lets the line go: a server keeps it for nobody while the TCP
        // connection stays up, however long the port object lives.
        if (server.thread.joinable() && mode != "close")
            QTRY_VERIFY_WITH_TIMEOUT(server.hungUp, 2000);
        // The server's own offers answered: SGA taken, ECHO and TERMINAL-TYPE declined.
        if (mode == "parity")
            for (const char *answer :
                 {"\xff\xfd\x03", "\xff\xfe\x01", "\xff\xfc\x01", "\xff\xfc\x18"})
                QVERIFY2(server.heard.contains(answer), server.heard.toHex(' ').constData());
    }

    // The serial event follows the receive threshold, and comes only through the event loop.
    // Then the link's own polls take bytes that the port's read notifier has already been told
    // of; the notifier's read comes back empty with whatever errno was left. That is no data,
    // not a device that went away, and later bytes must still raise the serial event.
    void serialEventAndEmptyReads()
    {
        RawLine raw;
        MSComm &port = raw.port;
        QSignalSpy events(&port, &MSComm::OnComm);
        QSignalSpy lost(&port, &MSComm::portLost);
        port.setRThreshold(0);
        raw.write("x");
        QTest::qWait(200);
        QCOMPARE(events.count(), 0);
        // Back to 1 with the byte still waiting: one event, so it is not left lying.
        port.setRThreshold(1);
        QCOMPARE(events.count(), 0); // never from inside the call, only through the event loop
        QTRY_COMPARE(events.count(), 1);
        QCOMPARE(port.commEvent(), CommPort::EventReceive);
        port.setInputLen(0);
        port.input();
        raw.write("y");
        QTRY_COMPARE(events.count(), 2);
        for (int staleErrno : {EAGAIN, ENOENT, EINTR, EAGAIN, ENOENT, EINTR}) {
            raw.emptyRead(staleErrno);
            QVERIFY2(port.portOpen() && lost.isEmpty(), qPrintable(QString::number(staleErrno)));
        }
        const int before = events.count();
        raw.write("t");
        QTRY_VERIFY(events.count() > before);
        QCOMPARE(port.input(), QByteArray("t"));
    }

    // As the tool and kelm-check meet it: the loss is in the journal at once, not at its next
    // flush, and demonstration mode is on, by the time anyone hears of it.
    void vanishedPortClosesAndSaysSo()
    {
        HeadlessPanel panel;
        Station station(panel);
        test::UnitOnLine line;
        line.unit->stop();
        line.wire(station.port());
        QTemporaryDir dir;
        QString error;
        QVERIFY(station.journal().start(dir.filePath("j.txt"), &error));
        QVERIFY(station.port().setPortOpen(true));
        panel.setDemoMode(false);
        QString heard;
        QObject::connect(&station, &Station::portLost, [&](const QString &text) {
            const QString journal = QString::fromUtf8(test::readFile(dir.filePath("j.txt")));
            heard = text + (panel.demoMode() ? " | demo | " : " | live | ") +
                    journal.split('\n').filter("port lost").join('|');
        });
        QCOMPARE(test::portLockHolder(line.device()), QCoreApplication::applicationPid());
        line.pty.closeMaster();
        QTRY_VERIFY(!station.port().portOpen());
        // The reason of the loss itself, not whatever errno an earlier call left.
        const QString why = "Com 1 (" + line.device() + "): Device disappeared from the system";
        QTRY_VERIFY(heard.startsWith(why));
        QVERIFY2(heard.startsWith(why + " | demo | ") && heard.endsWith("---- port lost: " + why),
                 qPrintable(heard));
        // Let go of by then, so that the adapter plugged in again can be opened by anyone.
        QVERIFY(test::portLockHolder(line.device()) != QCoreApplication::applicationPid());
        QCOMPARE(station.port().inBufferCount(), 0);
        station.port().output("x");
    }

    // A device node gone while its line still stands (a link renamed, a node removed before the
    // hang-up) is a loss too, named by why; found at the next empty read.
    void vanishedNodeClosesAndSaysSo()
    {
        RawLine raw;
        QTemporaryDir dir;
        const QString node = dir.filePath("ttyKELM");
        QVERIFY(QFile::link(raw.line.device(), node));
        raw.port.setPortOpen(false);
        raw.port.setDeviceResolver([node](int) { return node; });
        QVERIFY(raw.port.setPortOpen(true));
        QSignalSpy lost(&raw.port, &MSComm::portLost);
        QVERIFY(QFile::remove(node));
        for (int round = 0; round < 6 && lost.isEmpty(); ++round)
            raw.emptyRead(EAGAIN);
        QCOMPARE(lost.count(), 1);
        QCOMPARE(lost[0][0].toString(),
                 "Com 1 (" + node + "): " + QString::fromLocal8Bit(std::strerror(ENOENT)));
    }

    void reopenAfterLossBeforeTheEventLoopRan_data()
    {
        QTest::addColumn<QString>("server");
        QTest::newRow("pseudo-terminal") << QString();
        QTest::newRow("RFC 2217 through ser2net") << "rfc2217";
    }

    // The adapter pulled or the server gone, then a line opened anew. A device keeps what the
    // unit sent while nobody had it open; none of that is a telegram the new opening can take.
    void reopenAfterLossBeforeTheEventLoopRan()
    {
        QFETCH(QString, server);
        RawLine first("9600,e,8,1", server), second("9600,e,8,1", server);
        second.port.setPortOpen(false);
        server.isEmpty() ? first.line.pty.closeMaster() : first.net->stop();
        // The port's own wait notices the loss, without the event loop.
        for (const QDeadlineTimer deadline(2000); first.port.portOpen() && !deadline.hasExpired();)
            first.port.waitForInput(20);
        QVERIFY(!first.port.portOpen());
        second.line.wire(first.port);
        if (second.net)
            first.port.setDeviceResolver([url = second.net->url](int) { return url; });
        else
            second.write("stale");
        QTest::qSleep(30); // in the device's queue before the opening
        QVERIFY(first.port.setPortOpen(true));
        QTest::qWait(100); // the queued close of the lost port must not touch the new one
        first.port.setInputLen(0);
        QVERIFY(first.port.portOpen() && (second.net || first.port.input().isEmpty()));
        first.port.output("k");
        QCOMPARE(second.read(1), QByteArray("k"));
    }

    // Both variants, the one whose block check covers the STX and the one without.
    void statusQueryOnTheLine()
    {
        for (const bool stx : {false, true}) {
            LinkRig rig(stx);
            rig.on.unit().setStatusReply({0x31, 0x41, 0x51});
            Bytes puffer(6, 0xEE);
            int anzahl = 3;
            QVERIFY(rig.on.opened && rig.on.send("#") &&
                    rig.on.link.TelegrammEmpfangen(anzahl, puffer));
            QCOMPARE(anzahl, 3);
            const std::uint8_t bcc = stx ? 50 : 48;
            const std::uint8_t replyBcc = (0x31 ^ 0x41 ^ 0x51 ^ 16 ^ 3) ^ (stx ? 2 : 0);
            QCOMPARE(bytes(puffer), bytes({0, 0x31, 0x41, 0x51, replyBcc, 0xEE}));
            // Every byte of both exchanges reaches the record, in line order.
            const decltype(rig.sink.records) records{{0, 2},  {1, 16},   {0, '#'},      {0, 16},
                                                     {0, 3},  {0, bcc},  {1, 16},       {1, 2},
                                                     {0, 16}, {1, 0x31}, {1, 0x41},     {1, 0x51},
                                                     {1, 16}, {1, 3},    {1, replyBcc}, {0, 16}};
            QCOMPARE(rig.sink.records, records);
            QCOMPARE(rig.on.unit().receivedTelegrams(), std::vector<sim::Bytes>{{'#'}});
            // As a journal names the line: with its variant.
            QCOMPARE(rig.on.port.description(),
                     "Com 1 (" + rig.on.line.device() + ") 9600,e,8,1" + (stx ? " STX" : ""));
        }
    }

    // An operator's click during a send's line wait starts a send of its own there; each keeps
    // its own six attempts.
    void nestedSendsKeepTheirOwnAttempts()
    {
        LinkRig rig;
        rig.on.link.LinkStatus = linkstatus::Data; // a reception under way holds the outer send
        rig.on.link.EmpfangZeit = steadyClock().now() + 100;
        bool nestedSent = false;
        rig.host.onPump = [&] {
            rig.host.onPump = nullptr;
            rig.on.link.LinkStatus = linkstatus::Idle;
            rig.on.unit().nakNextBlocks(3);
            nestedSent = rig.on.send(QByteArray(1, 0x33));
            rig.on.unit().nakNextBlocks(5);
        };
        QVERIFY(rig.on.send(QByteArray(1, 0x32)) && nestedSent);
        const std::pair<std::uint8_t, std::uint8_t> stxFromPc(DirPc, STX);
        QCOMPARE(int(std::ranges::count(rig.sink.records, stxFromPc)), 4 + 6);
        QCOMPARE(rig.on.unit().receivedTelegrams(), (std::vector<sim::Bytes>{{0x33}, {0x32}}));
        QVERIFY(rig.host.messages.isEmpty());
    }

    void pendingStxIsTakenNotDropped()
    {
        LinkRig rig;
        // The unit starts a telegram right after the sender's line wait looked.
        rig.on.port.setRThreshold(0);
        rig.on.unit().sendReport({0x37});
        QTRY_COMPARE(rig.on.port.inBufferCount(), 1);
        QVERIFY(rig.on.send(QByteArray(1, 0x31)));
        QCOMPARE(rig.host.reports, std::vector<std::uint8_t>{0x37});
        QCOMPARE(rig.on.unit().receivedTelegrams(), std::vector<sim::Bytes>{{0x31}});
        QVERIFY(rig.host.messages.isEmpty());
    }
};

QTEST_GUILESS_MAIN(LinkTest)
#include "tst_link.moc"
