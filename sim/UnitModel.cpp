#include "sim/UnitModel.h"

#include <cstdio>

namespace kelm::sim {

void UnitModel::apply(const Bytes &data)
{
    if (data.empty())
        return;
    const std::uint8_t c = data[0];
    if (c == 0x40) {
        leds.fill(Led::Off);
        return;
    }
    if (c >= 0x31 && c <= 0x3C) {
        leds[c - 0x31] = Led::On;
        return;
    }
    if (c >= 0x41 && c <= 0x4C) {
        leds[c - 0x41] = Led::Off;
        return;
    }
    if (c >= 0x51 && c <= 0x5C) {
        leds[c - 0x51] = Led::Blink;
        return;
    }
    if (c != 0x6C)
        return;
    for (std::size_t i = 1; i < data.size(); ++i) {
        const std::uint8_t code = data[i];
        switch (code) {
        case 0x2B:
            for (auto &row : cells)
                row.fill(Cell{});
            line = column = 0;
            break;
        case 0x27:
            if (i + 2 < data.size()) {
                line = (data[i + 1] - 0x30) & 7;
                column = (data[i + 2] - 0x30) & 15;
                i += 2;
            }
            break;
        case 0x40:
            inverse = true;
            break;
        case 0x41:
            inverse = false;
            break;
        case 0x42:
            blink = true;
            break;
        case 0x43:
            blink = false;
            break;
        default:
            if (code >= 0x80) {
                cells[line][column] = Cell{code, inverse, blink};
                if (++column == kColumns) {
                    column = 0;
                    line = (line + 1) % kLines;
                }
            }
            break; // 0x29 closes a short line; nothing to do for it
        }
    }
}

std::string UnitModel::lineText(int n) const
{
    std::string text;
    for (const Cell &cell : cells.at(n))
        text += static_cast<char>(cell.code - 0x60);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string describeTelegram(const Bytes &t, bool fromUnit)
{
    if (t.empty())
        return "(empty)";
    const std::uint8_t c = t[0];
    char buf[96];
    if (fromUnit) {
        if (c == 0x6C && t.size() > 1) {
            std::snprintf(buf, sizeof buf, "display acknowledged, digit %c", t[1]);
            return buf;
        }
        if (t.size() == 3) {
            std::snprintf(buf, sizeof buf, "status %02X %02X %02X", t[0], t[1], t[2]);
            return buf;
        }
        if (c == 0x30)
            return "no key pressed";
        if (c >= 0x31 && c <= 0x3C)
            std::snprintf(buf, sizeof buf, "key %d pressed", c - 0x30);
        else if (c >= 0x41 && c <= 0x4C)
            std::snprintf(buf, sizeof buf, "selector 1 at %d", c - 0x40);
        else if (c >= 0x51 && c <= 0x5C)
            std::snprintf(buf, sizeof buf, "selector 2 at %d", c - 0x50);
        else
            std::snprintf(buf, sizeof buf, "report %02X", c);
        return buf;
    }
    if (c == 0x23)
        return "status query";
    if (c == 0x40)
        return "all LEDs off";
    if (c >= 0x31 && c <= 0x3C)
        std::snprintf(buf, sizeof buf, "LED %d on", c - 0x30);
    else if (c >= 0x41 && c <= 0x4C)
        std::snprintf(buf, sizeof buf, "LED %d off", c - 0x40);
    else if (c >= 0x51 && c <= 0x5C)
        std::snprintf(buf, sizeof buf, "LED %d blinking", c - 0x50);
    else if (c == 0x6C && t.size() == 2 && t[1] == 0x2B)
        return "display clear";
    else if (c == 0x6C) {
        std::string text;
        for (std::size_t i = 1; i < t.size(); ++i)
            if (t[i] >= 0x80 && t[i] <= 0xDF)
                text += static_cast<char>(t[i] - 0x60);
        std::snprintf(buf, sizeof buf, "display, %zu bytes: \"%s\"", t.size(), text.c_str());
    } else
        std::snprintf(buf, sizeof buf, "telegram %02X, %zu bytes", c, t.size());
    return buf;
}

} // namespace kelm::sim
