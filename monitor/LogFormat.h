#pragma once

#include "monitor/TrafficRecord.h"

#include <QByteArray>
#include <QDate>
#include <QLocale>
#include <QString>

namespace kelm {

enum class SaveKind : std::uint8_t
{
    Hex = 0,
    HexStructured = 1,
    Ascii = 2,
    AsciiStructured = 3
};

// Two upper-case hex digits of a byte.
QByteArray V24MonHex(std::uint8_t value);

// The whole log file for the record, CR LF line ends, one byte per character.
QByteArray formatLog(const TrafficRecord &record, SaveKind kind, const QString &dateText,
                     const QString &timeText);

// The head line's date: the locale's short date, or ISO 8601 digits where that would hold
// characters a log file of single bytes cannot (Arabic, Persian, Burmese digits, say).
QString logDateText(const QDate &date, const QLocale &locale);

// Writes the file all at once or not at all; false with a reason the operator can read.
bool writeLogFile(const QString &path, const QByteArray &contents, QString *error);

} // namespace kelm
