#pragma once

#include <cstdint>

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
};

class NullTrafficSink final : public TrafficSink
{
public:
    void V24MonWriteBuf(std::uint8_t, std::uint8_t) override {}
};

} // namespace kelm
