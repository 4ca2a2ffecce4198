#pragma once

#include <QByteArray>
#include <QString>

namespace kelm {

// What the 3964R procedures need of the serial port. The members follow the port component
// the procedures were written for: a byte count that can be polled, one-byte reads and
// writes, a receive threshold that switches the serial event on and off, and the variant tag.
class CommPort
{
public:
    static constexpr int EventReceive = 2;

    virtual ~CommPort() = default;

    virtual bool portOpen() const = 0;
    // Received bytes not yet read. Must see bytes that reached the operating system even when
    // the event loop has not run since.
    virtual int inBufferCount() = 0;
    virtual void setInputLen(int length) = 0;
    // Up to InputLen waiting bytes (all of them for 0); never blocks.
    virtual QByteArray input() = 0;
    // Each byte goes out unchanged; dropped while the port is closed.
    virtual void output(const QByteArray &bytes) = 0;
    virtual void setRThreshold(int threshold) = 0;
    virtual int rThreshold() const = 0;
    virtual int commEvent() const = 0;
    // "STX" when the block check covers STX, empty otherwise.
    virtual QString tag() const = 0;
    // Blocks for at most msecs until a byte is waiting, without running the event loop.
    // Lets the byte waits sleep on the port instead of spinning.
    virtual void waitForInput(int msecs) = 0;
};

} // namespace kelm
