#pragma once

// An in-memory line for the fuzz targets: a port whose input is a byte queue, a clock that
// only moves when the link waits, and a host that counts what is dispatched.
#include "link/Clock.h"
#include "link/CommPort.h"
#include "link/LinkHost.h"
#include "link/TrafficSink.h"

#include <cstdint>
#include <cstdlib>
#include <deque>
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

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);         \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

} // namespace kelm::fuzz
