// The serial event handler's receive state machine over arbitrary byte streams, arriving in
// arbitrary pieces with arbitrary pauses.
#include "FakeLink.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string failed = kelm::fuzz::receiverFailure(data, size);
    if (!failed.empty()) {
        std::fprintf(stderr, "property failed: %s\n", failed.c_str());
        std::abort();
    }
    return 0;
}
