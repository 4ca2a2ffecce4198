#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kelm::sim {

using Bytes = std::vector<std::uint8_t>;

enum class Led
{
    Off,
    On,
    Blink
};

struct Cell
{
    std::uint8_t code = 0x80; // a blank
    bool inverse = false;
    bool blink = false;
    bool operator==(const Cell &) const = default;
};

// What the unit keeps of the telegrams it accepted: its LEDs and its display, with the writing
// position and attributes the display codes set.
struct UnitModel
{
    static constexpr int kLines = 8;
    static constexpr int kColumns = 16;

    // Applies an LED or display telegram; anything else leaves the model as it is.
    void apply(const Bytes &telegram);
    // The characters of a display line as text (code − 0x60), trailing blanks dropped.
    std::string lineText(int line) const;

    std::array<Led, 12> leds{};
    std::array<std::array<Cell, kColumns>, kLines> cells{};
    int line = 0;
    int column = 0;
    bool inverse = false;
    bool blink = false;
};

// A block in words, for the unit's log: "# status query", "LED 3 on", "display …".
std::string describeTelegram(const Bytes &telegram, bool fromUnit);

} // namespace kelm::sim
