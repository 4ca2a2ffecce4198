#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace kelm {

enum : std::uint8_t
{
    DirPc = 0,
    DirUnit = 1
};

// Receives every byte that crosses the line, in line order. The traffic monitor implements it;
// the link knows nothing else of the monitor.
class TrafficSink
{
public:
    virtual ~TrafficSink() = default;
    virtual void V24MonWriteBuf(std::uint8_t direction, std::uint8_t value) = 0;
    // Something worth finding later among the bytes (the port opened, a send failed, ...).
    // urgent: the record should reach the disk now, not at its next flush.
    virtual void note(const QString &event, bool urgent)
    {
        (void)event;
        (void)urgent;
    }
};

class NullTrafficSink final : public TrafficSink
{
public:
    void V24MonWriteBuf(std::uint8_t, std::uint8_t) override {}
};

// Hands each byte and note to every sink in turn, so the link still makes one call per byte.
class TrafficSinks final : public TrafficSink
{
public:
    void add(TrafficSink *sink) { m_sinks.push_back(sink); }
    void V24MonWriteBuf(std::uint8_t direction, std::uint8_t value) override
    {
        for (TrafficSink *sink : m_sinks)
            sink->V24MonWriteBuf(direction, value);
    }
    void note(const QString &event, bool urgent) override
    {
        for (TrafficSink *sink : m_sinks)
            sink->note(event, urgent);
    }

private:
    std::vector<TrafficSink *> m_sinks;
};

} // namespace kelm
