#pragma once

#include <array>
#include <cstdint>

namespace kelm {

// The ring of traffic records: a byte and its direction per slot, no time stamp. Slots 0 to
// 9899 are used and at most 9899 records are kept, so that an empty ring (BufStart ==
// BufWrite) can be told from a full one.
class TrafficRecord
{
public:
    static constexpr int kSlots = 9900;

    // Constant work, nothing allocated: two stores and two index updates.
    void append(std::uint8_t direction, std::uint8_t value)
    {
        BufValue[BufWrite] = value;
        BufDir[BufWrite] = direction;
        BufWrite = next(BufWrite);
        if (BufStart == BufWrite)
            BufStart = next(BufStart);
    }

    void clear() { BufWrite = BufStart = 0; }

    int count() const
    {
        return BufWrite >= BufStart ? BufWrite - BufStart : kSlots - (BufStart - BufWrite);
    }
    bool isEmpty() const { return BufStart == BufWrite; }

    // Slot of the k-th record, counted from the oldest.
    int slotOf(int k) const { return (BufStart + k) % kSlots; }
    static int next(int slot) { return slot == kSlots - 1 ? 0 : slot + 1; }

    // The arrays run to index 10000; the slots past 9899 hold no records.
    std::array<std::uint8_t, 10001> BufValue{};
    std::array<std::uint8_t, 10001> BufDir{};
    std::int16_t BufWrite = 0;
    std::int16_t BufStart = 0;
};

} // namespace kelm
