// The serial event handler's receive state machine over arbitrary byte streams, arriving in
// arbitrary pieces with arbitrary pauses.
#include "FakeLink.h"
#include "link/mod3964R.h"
#include "monitor/TrafficRecord.h"

#include <cstdio>

using namespace kelm;
using namespace kelm::fuzz;

namespace {
// Records into the monitor's own ring, so that its invariants are checked on real traffic.
class RingSink : public TrafficSink
{
public:
    void V24MonWriteBuf(std::uint8_t direction, std::uint8_t value) override
    {
        ring.append(direction, value);
        ++records;
        FUZZ_CHECK(ring.BufStart >= 0 && ring.BufStart < TrafficRecord::kSlots);
        FUZZ_CHECK(ring.BufWrite >= 0 && ring.BufWrite < TrafficRecord::kSlots);
        FUZZ_CHECK(ring.count() == std::min<long>(records, TrafficRecord::kCapacity));
        FUZZ_CHECK(
            ring.BufValue[(ring.BufWrite + TrafficRecord::kSlots - 1) % TrafficRecord::kSlots] ==
            value);
    }
    TrafficRecord ring;
    long records = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    FakeClock clock;
    FakePort port(clock);
    port.stx = data[0] & 1;
    FakeHost host(clock);
    static RingSink sink; // kept across inputs, so that the ring fills and wraps
    const long recordsBefore = sink.records;
    mod3964R link(port, sink, host, clock);
    link.LinkStatus = linkstatus::Idle;

    long bytesIn = 0;
    std::size_t i = 1;
    while (i < size) {
        // A control byte: how many bytes arrive now (low nibble), the pause before them.
        const std::uint8_t control = data[i++];
        const std::size_t n = std::min<std::size_t>(control & 15, size - i);
        if (control & 0x10)
            clock.sleep(1.2);
        else if (control & 0x20)
            clock.sleep(0.3);
        for (std::size_t k = 0; k < n; ++k)
            port.in.push_back(data[i + k]);
        bytesIn += long(n);
        i += n;
        if (control & 0x40)
            link.LinkStatus = linkstatus::NotStarted + (control >> 7); // 0 or 1, as a reset would
        link.MSComm1_OnComm();

        FUZZ_CHECK(link.LinkStatus <= linkstatus::BccDue);
        FUZZ_CHECK(link.EmpfangLaenge >= 0 && link.EmpfangLaenge <= kMaxEmpfangLaenge);
        FUZZ_CHECK(link.EmpfangTelegramm.size() == link.EmpfangLaenge);
        if (link.LinkStatus != linkstatus::NotStarted)
            FUZZ_CHECK(port.in.empty()); // every byte that arrived was taken
        for (std::uint8_t b : port.out)
            FUZZ_CHECK(b == ctl::DLE || b == ctl::NAK); // the receiver answers nothing else
    }
    // Every byte read reached the record, and every answer written too.
    FUZZ_CHECK(sink.records - recordsBefore ==
               bytesIn - long(port.in.size()) + long(port.out.size()));

    // Whatever the stream left behind, a send gets the line within the protocol's limits.
    port.in.clear();
    port.out.clear();
    const double start = clock.now();
    link.TelegrammSenden(1, QByteArray("#"));
    FUZZ_CHECK(clock.now() - start <= kLineWait + 3 * kByteTimeout);
    FUZZ_CHECK(link.LinkStatus == linkstatus::Idle);
    return 0;
}
