#include "device/Telegramme.h"

#include "device/KELMkonstanten.h"

namespace kelm::Telegramm {

namespace K = KELMkonstanten;

namespace {
QByteArray one(int code)
{
    return QByteArray(1, static_cast<char>(code));
}
} // namespace

QByteArray statusQuery()
{
    return one(K::StatusAbfrage);
}
QByteArray allLedsOff()
{
    return one(K::AlleLEDsAus);
}
QByteArray ledOn(int key)
{
    return one(K::LEDEin + key);
}
QByteArray ledOff(int key)
{
    return one(K::LEDAus + key);
}
QByteArray ledBlink(int key)
{
    return one(K::LEDBlinkt + key);
}

QByteArray displayClear()
{
    QByteArray t;
    t += static_cast<char>(K::Display);
    t += static_cast<char>(K::DisplayLoeschen);
    return t;
}

std::uint8_t displayCode(QChar c)
{
    const int code = c.unicode() > 0xFF - K::ZeichenOffset ? '*' : c.unicode();
    return static_cast<std::uint8_t>(code + K::ZeichenOffset);
}

QByteArray displayLine(int line, const QString &text, bool blink, bool inverse)
{
    QByteArray t;
    t.reserve(22);
    t += static_cast<char>(K::Display);
    t += static_cast<char>(blink ? K::BlinkenEin : K::BlinkenAus);
    t += static_cast<char>(inverse ? K::InversEin : K::InversAus);
    t += static_cast<char>(K::Position);
    t += static_cast<char>(K::Ziffer0 + line);
    t += static_cast<char>(K::Ziffer0);
    const int m = static_cast<int>(text.size());
    for (int i = 0; i < m; ++i)
        t += static_cast<char>(displayCode(text[i]));
    if (m <= 13)
        t += static_cast<char>(K::ZeilenEnde);
    return t;
}

QByteArray displayChar(int line, int column, bool inverse, bool blink, std::uint8_t code)
{
    const char t[] = {static_cast<char>(K::Display),
                      static_cast<char>(K::Position),
                      static_cast<char>(K::Ziffer0 + line),
                      static_cast<char>(K::Ziffer0 + column),
                      static_cast<char>(inverse ? K::InversEin : K::InversAus),
                      static_cast<char>(blink ? K::BlinkenEin : K::BlinkenAus),
                      static_cast<char>(code)};
    return QByteArray(t, sizeof t);
}

} // namespace kelm::Telegramm
