#pragma once

// An in-memory line: a port whose input is a byte queue, a clock that only moves when the link
// waits, and a host that keeps what is handed on. Below it, the receiving side's properties over
// arbitrary input, for the fuzz targets and for tst_linkrules' random streams alike.
#include "link/Clock.h"
#include "link/CommPort.h"
#include "link/LinkHost.h"
#include "link/TrafficSink.h"
#include "link/mod3964R.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace kelm::fuzz {

class FakeClock : public Clock
{
public:
    double now() const override { return t; }
    void sleep(double seconds) override
    {
        if (seconds > 0)
            t += seconds;
    }
    double t = 1000.0;
};

class FakePort : public CommPort
{
public:
    explicit FakePort(FakeClock &clock) : m_clock(clock) {}
    bool portOpen() const override { return open; }
    int inBufferCount() override { return open ? int(in.size()) : 0; }
    void setInputLen(int length) override { m_inputLen = length; }
    QByteArray input() override
    {
        QByteArray out;
        while (open && !in.empty() && (m_inputLen == 0 || out.size() < m_inputLen)) {
            out += char(in.front());
            in.pop_front();
        }
        return out;
    }
    void output(const QByteArray &bytes) override
    {
        if (open)
            out.insert(out.end(), bytes.begin(), bytes.end());
    }
    void setRThreshold(int threshold) override { m_threshold = threshold; }
    int rThreshold() const override { return m_threshold; }
    int commEvent() const override { return EventReceive; }
    QString tag() const override { return stx ? QStringLiteral("STX") : QString(); }
    bool waitForInput(int msecs) override
    {
        if (!in.empty())
            return true;
        m_clock.sleep(msecs / 1000.0); // nothing will come: let the time-outs run
        return false;
    }

    std::deque<std::uint8_t> in;
    std::vector<std::uint8_t> out;
    bool open = true;
    bool stx = false;

private:
    FakeClock &m_clock;
    int m_inputLen = 1;
    int m_threshold = 1;
};

class FakeHost : public LinkHost
{
public:
    explicit FakeHost(FakeClock &clock) : m_clock(clock) {}
    bool demoMode() const override { return demo; }
    void showMessage(const QString &) override { ++messages; }
    void pumpEvents() override { m_clock.sleep(0.001); }
    void TasteSetzen(std::uint8_t &Taste) override { handed += char(Taste); }
    void DisplayQuittung(std::uint8_t &Quittung) override
    {
        handed.append('l').append(char(Quittung));
    }
    bool demo = false;
    int messages = 0;
    // What the receiver handed on: a key report as its byte, an acknowledgement as 'l' and
    // its digit.
    QByteArray handed;

private:
    FakeClock &m_clock;
};

class CountingSink : public TrafficSink
{
public:
    void V24MonWriteBuf(std::uint8_t, std::uint8_t) override { ++records; }
    long records = 0;
};

#define KELM_EXPECT(cond)                                                                          \
    do {                                                                                           \
        if (!(cond))                                                                               \
            return std::string(#cond);                                                             \
    } while (0)

// The serial event over a byte stream in pieces: data[0] picks the variant; then each control
// byte says how many bytes arrive next (low nibble), the pause before them (0x10: 1.2 s, 0x20:
// 0.3 s) and whether a reset sets the receiver back first (0x40, to NotStarted or Idle by 0x80).
// Returns the property that failed, empty if none.
inline std::string receiverFailure(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return {};
    FakeClock clock;
    FakePort port(clock);
    port.stx = data[0] & 1;
    FakeHost host(clock);
    CountingSink sink;
    mod3964R link(port, sink, host, clock);
    link.LinkStatus = linkstatus::Idle;
    long bytesIn = 0;
    for (std::size_t i = 1; i < size;) {
        const std::uint8_t control = data[i++];
        const std::size_t n = std::min<std::size_t>(control & 15, size - i);
        clock.sleep(control & 0x10 ? 1.2 : control & 0x20 ? 0.3 : 0);
        port.in.insert(port.in.end(), data + i, data + i + n);
        bytesIn += long(n);
        i += n;
        if (control & 0x40)
            link.LinkStatus = linkstatus::NotStarted + (control >> 7);
        link.MSComm1_OnComm();
        KELM_EXPECT(link.LinkStatus <= linkstatus::BccDue);
        KELM_EXPECT(link.EmpfangLaenge >= 0 && link.EmpfangLaenge <= kMaxEmpfangLaenge);
        KELM_EXPECT(link.EmpfangTelegramm.size() == link.EmpfangLaenge);
        KELM_EXPECT(link.LinkStatus == linkstatus::NotStarted || port.in.empty());
        for (std::uint8_t b : port.out)
            KELM_EXPECT(b == ctl::DLE || b == ctl::NAK); // the receiver answers nothing else
    }
    // Every byte read reached the record, and every answer written too.
    KELM_EXPECT(sink.records == bytesIn - long(port.in.size()) + long(port.out.size()));
    // Whatever the stream left behind, a send gets the line within the protocol's limits.
    port.in.clear();
    const double start = clock.now();
    link.TelegrammSenden(1, QByteArray("#"));
    KELM_EXPECT(clock.now() - start <= kLineWait + 3 * kByteTimeout);
    KELM_EXPECT(link.LinkStatus == linkstatus::Idle);
    return {};
}

// The synchronous receiver over an arbitrary reply into a buffer of data[0] & 0x3F bytes,
// allocated at its exact size so that a sanitizer sees any write past it; 0x40 closes the port,
// 0x80 picks the variant.
inline std::string empfangenFailure(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return {};
    FakeClock clock;
    FakePort port(clock);
    port.stx = data[0] & 0x80;
    port.open = !(data[0] & 0x40);
    FakeHost host(clock);
    CountingSink sink;
    mod3964R link(port, sink, host, clock);
    link.LinkStatus = linkstatus::Idle;
    port.in.assign(data + 1, data + size);
    const std::size_t bufferSize = data[0] & 0x3F;
    const auto buffer = std::make_unique<std::uint8_t[]>(bufferSize);
    int anzahl = -1;
    const double start = clock.now();
    const bool ok = link.TelegrammEmpfangen(anzahl, std::span(buffer.get(), bufferSize));
    // At most 299 bytes plus head and tail, each within one byte time-out.
    KELM_EXPECT(clock.now() - start <= (kMaxEmpfangLaenge + 8) * kByteTimeout);
    if (ok) {
        KELM_EXPECT(anzahl >= 1 && std::size_t(anzahl) + 1 < bufferSize);
        KELM_EXPECT(buffer[0] == 0);
        KELM_EXPECT(blockCheck(buffer.get() + 1, std::size_t(anzahl), port.stx) ==
                    buffer[anzahl + 1]);
        KELM_EXPECT(!port.out.empty() && port.out.back() == ctl::DLE);
    } else {
        KELM_EXPECT(link.LinkFehler == linkerr::PortClosed || link.LinkFehler == linkerr::Timeout ||
                    link.LinkFehler == linkerr::WrongReply);
    }
    return {};
}

#undef KELM_EXPECT

} // namespace kelm::fuzz
