#pragma once

#include <chrono>
#include <thread>

namespace kelm {

// Every time-out and pause of the link and the device procedures reads this clock. It is
// monotonic, so a wait that spans midnight or a change of the system time keeps its length.
class Clock
{
public:
    virtual ~Clock() = default;
    // Seconds since an arbitrary fixed point.
    virtual double now() const = 0;
    // Waits without running the event loop.
    virtual void sleep(double seconds) = 0;
};

class SteadyClock final : public Clock
{
public:
    double now() const override
    {
        using namespace std::chrono;
        return duration<double>(steady_clock::now().time_since_epoch()).count();
    }
    void sleep(double seconds) override
    {
        if (seconds > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
};

inline Clock &steadyClock()
{
    static SteadyClock clock;
    return clock;
}

} // namespace kelm
