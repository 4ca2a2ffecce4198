#pragma once

#include <cstdint>

namespace kelm::KELMkonstanten {

// Commands to the unit.
constexpr std::uint8_t StatusAbfrage = 0x23;   // "#"
constexpr std::uint8_t AlleLEDsAus = 0x40;     // "@"
constexpr std::uint8_t LEDEin = 0x31;          // + key index
constexpr std::uint8_t LEDAus = 0x41;          // + key index
constexpr std::uint8_t LEDBlinkt = 0x51;       // + key index
constexpr std::uint8_t Display = 0x6C;         // "l", first byte of every display telegram
constexpr std::uint8_t DisplayLoeschen = 0x2B; // "+"
constexpr std::uint8_t Position = 0x27;        // "'", then line and column
constexpr std::uint8_t InversEin = 0x40;
constexpr std::uint8_t InversAus = 0x41;
constexpr std::uint8_t BlinkenEin = 0x42;
constexpr std::uint8_t BlinkenAus = 0x43;
constexpr std::uint8_t ZeilenEnde = 0x29;    // ")" after a line of 13 characters or fewer
constexpr std::uint8_t ZeichenOffset = 0x60; // added to a text character's code
constexpr std::uint8_t Ziffer0 = 0x30;       // line, column and acknowledgement digits

// Reports from the unit.
constexpr std::uint8_t KeineTaste = 0x30;
constexpr std::uint8_t TasteMax = 0x3C;
constexpr std::uint8_t Wahlschalter1 = 0x40; // position p arrives as 0x40 + p
constexpr std::uint8_t Wahlschalter2 = 0x50;

constexpr int AnzahlTasten = 12;
constexpr int DisplayZeilen = 8;
constexpr int DisplaySpalten = 16;
constexpr int ZeileMaxZeichen = 15;

} // namespace kelm::KELMkonstanten
