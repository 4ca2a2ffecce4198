// The synchronous receiver over arbitrary replies and buffer sizes: it must never write past
// the caller's buffer (the buffer is allocated at its exact size, so ASan sees any overrun)
// and never wait longer than its byte time-outs allow.
#include "FakeLink.h"
#include "link/mod3964R.h"

#include <cstdio>
#include <memory>

using namespace kelm;
using namespace kelm::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    FakeClock clock;
    FakePort port(clock);
    port.stx = data[0] & 0x80;
    port.open = !(data[0] & 0x40);
    FakeHost host(clock);
    CountingSink sink;
    mod3964R link(port, sink, host, clock);
    link.LinkStatus = linkstatus::Idle;
    for (std::size_t i = 1; i < size; ++i)
        port.in.push_back(data[i]);

    const std::size_t bufferSize = data[0] & 0x3F;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bufferSize]);
    for (std::size_t i = 0; i < bufferSize; ++i)
        buffer[i] = 0xEE;
    int anzahl = -1;
    const double start = clock.now();
    const bool ok = link.TelegrammEmpfangen(anzahl, std::span(buffer.get(), bufferSize));
    // At most 299 bytes plus head and tail, each within one byte time-out.
    FUZZ_CHECK(clock.now() - start <= (kMaxEmpfangLaenge + 8) * kByteTimeout);
    if (ok) {
        FUZZ_CHECK(anzahl >= 1 && std::size_t(anzahl) + 1 < bufferSize);
        FUZZ_CHECK(buffer[0] == 0);
        FUZZ_CHECK(blockCheck(buffer.get() + 1, std::size_t(anzahl), port.stx) ==
                   buffer[anzahl + 1]);
        FUZZ_CHECK(!port.out.empty() && port.out.back() == ctl::DLE);
    } else {
        FUZZ_CHECK(link.LinkFehler == linkerr::PortClosed || link.LinkFehler == linkerr::Timeout ||
                   link.LinkFehler == linkerr::WrongReply);
    }
    return 0;
}
