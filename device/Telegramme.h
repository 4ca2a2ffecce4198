#pragma once

#include <QByteArray>
#include <QString>

namespace kelm::Telegramm {

QByteArray statusQuery();
QByteArray allLedsOff();
QByteArray ledOn(int key);
QByteArray ledOff(int key);
QByteArray ledBlink(int key);
QByteArray displayClear();
// Layout A: one editor line, written from column 0.
QByteArray displayLine(int line, const QString &text, bool blink, bool inverse);
// Layout B: one character of the continuous test.
QByteArray displayChar(int line, int column, bool inverse, bool blink, std::uint8_t code);
// The one-byte display code of a text character. Characters whose code + 0x60 would not fit
// one byte go as "*", as typing them would.
std::uint8_t displayCode(QChar c);

} // namespace kelm::Telegramm
