#include "device/KELM.h"

#include "device/KELMkonstanten.h"
#include "device/Telegramme.h"

namespace kelm {

namespace K = KELMkonstanten;

namespace {
const QString kLedError = QStringLiteral("Fehler beim LED senden");
const QString kDisplayError = QStringLiteral("Fehler beim Display schreiben");
constexpr std::int16_t kTrue = -1;
// Stand-ins for the short counting pauses of the continuous test.
constexpr double kShortPause = 0.0005;
constexpr double kLongPause = 0.002;
} // namespace

KELM::KELM(mod3964R &link, DevicePanel &panel, Clock &clock)
    : m_link(link), m_panel(panel), m_clock(clock)
{
}

bool KELM::senden(const QByteArray &telegramm)
{
    return m_link.TelegrammSenden(static_cast<int>(telegramm.size()), telegramm);
}

void KELM::setLed(int k, bool lit)
{
    m_panel.setLedLit(k, lit);
    m_panel.setLedYellow(k, lit);
}

void KELM::LEDUmschalten(int k)
{
    if (k < 0 || k >= K::AnzahlTasten)
        return;
    const bool lit = m_panel.ledLit(k);
    // The screen follows the operator's intention even when the unit did not get it; the
    // failure switches the tool to demonstration mode instead.
    if (!senden(lit ? Telegramm::ledOff(k) : Telegramm::ledOn(k))) {
        m_panel.setDemoMode(true);
        m_panel.setDauertestTicked(false);
    }
    setLed(k, !lit);
    if (lit)
        LEDBlinken[k] = 0;
}

void KELM::LEDBlinkenSetzen(int k)
{
    if (k < 0 || k >= K::AnzahlTasten)
        return;
    if (!senden(Telegramm::ledBlink(k))) {
        m_panel.setDemoMode(true);
        m_panel.showMessage(kLedError);
    }
    setLed(k, true);
    LEDBlinken[k] = kTrue;
}

void KELM::Timer1_Timer()
{
    for (int k = 0; k < K::AnzahlTasten; ++k) {
        if (LEDBlinken[k] == kTrue)
            m_panel.setLedYellow(k, LEDBlinken[12] != kTrue);
    }
    LEDBlinken[12] = static_cast<std::int16_t>(~LEDBlinken[12]);
}

void KELM::Statusabfrage()
{
    m_panel.setDemoMode(false);
    if (!senden(Telegramm::statusQuery())) {
        m_panel.setDemoMode(true);
        return;
    }
    std::array<std::uint8_t, 6> puffer{};
    int anzahl = 3;
    if (m_link.TelegrammEmpfangen(anzahl, puffer)) {
        m_panel.setDemoMode(false);
        for (int i = 1; i <= 3; ++i) {
            std::uint8_t taste = puffer[i];
            m_panel.TasteSetzen(taste);
        }
    } else {
        m_panel.setDemoMode(true);
        m_panel.showMessage(kNoUnit);
    }
}

std::int16_t KELM::Quittung(double seconds)
{
    const double t0 = m_clock.now();
    for (;;) {
        if (m_clock.now() - t0 > seconds)
            return 0;
        m_panel.pumpEvents();
        if (QuittungsCode != 0) {
            const std::int16_t code = QuittungsCode;
            QuittungsCode = 0;
            return code;
        }
    }
}

bool KELM::DisplayLoeschen()
{
    if (!senden(Telegramm::displayClear()))
        m_panel.setDemoMode(true);
    if (Quittung(kDisplayAckWait) == 0)
        return false;
    DisplayFreigeben();
    return true;
}

bool KELM::LEDReset()
{
    if (!senden(Telegramm::allLedsOff())) {
        m_panel.setDemoMode(true);
        return false;
    }
    for (int k = 0; k < K::AnzahlTasten; ++k)
        setLed(k, false);
    return true;
}

void KELM::DisplayFreigeben()
{
    for (int n = 0; n < K::DisplayZeilen; ++n) {
        m_panel.setDisplayBoxEnabled(n, true);
        m_panel.setDisplayBoxText(n, QString());
    }
    for (int n = 0; n < K::DisplayZeilen; ++n)
        m_panel.setDisplayBoxCentred(n, false);
}

void KELM::DisplaySperren()
{
    DisplayFreigeben();
    for (int n = 0; n < K::DisplayZeilen; ++n) {
        m_panel.setDisplayBoxCentred(n, true);
        m_panel.setDisplayBoxEnabled(n, false);
    }
    m_panel.setDisplayBoxText(1, QStringLiteral("Dauertest"));
    m_panel.setDisplayBoxText(3, QStringLiteral("Display"));
    m_panel.setDisplayBoxText(5, QStringLiteral("wird NICHT"));
    m_panel.setDisplayBoxText(7, QStringLiteral("aktualisiert"));
}

void KELM::Reset()
{
    m_link.LinkStatus = linkstatus::Idle;
    m_panel.setDauertestTicked(false);
    LEDBlinken.fill(0);
    Statusabfrage();
    DisplayLoeschen();
    LEDReset();
}

void KELM::DisplayZeileSchreiben(int n, const QString &text, bool blinken, bool invers)
{
    const QByteArray telegramm =
        Telegramm::displayLine(n, text.left(K::ZeileMaxZeichen), blinken, invers);
    if (!senden(telegramm))
        m_panel.setDemoMode(true);
    if (Quittung(kDisplayAckWait) == 0)
        m_panel.showMessage(kDisplayError);
}

void KELM::DauertestClick()
{
    const bool ticked = m_panel.dauertestTicked();
    if (!m_panel.demoMode()) {
        if (!ticked) {
            m_panel.setDauertestTicked(true);
            m_link.note(QStringLiteral("continuous test started"));
            DisplayLoeschen();
            DisplaySperren();
            LEDReset();
            DauertestLauf();
        } else {
            m_panel.setDauertestTicked(false);
            m_link.note(QStringLiteral("continuous test stopped"));
            DisplayLoeschen();
        }
    } else if (!ticked) {
        m_panel.setDauertestTicked(true);
        DisplaySperren();
        DauertestDemo();
    } else {
        m_panel.setDauertestTicked(false);
        DisplayFreigeben();
    }
}

void KELM::DauertestLauf()
{
    enum class Ende
    {
        Weiter,
        Stopp,
        Abbruch
    };
    auto fehler = [this](int zeile, int spalte) {
        m_link.note(
            QStringLiteral("continuous test failed at line %1, column %2").arg(zeile).arg(spalte));
        m_panel.setDauertestTicked(false);
        m_panel.setDemoMode(true);
        m_panel.showMessage(kSendError);
        return Ende::Abbruch;
    };

    int k = 0;
    // One character: send it, step the LED chase, await its acknowledgement.
    auto zeichen = [&](int b, int v, int zeile, int spalte, int c) {
        const double tS = m_clock.now();
        if (!senden(Telegramm::displayChar(zeile, spalte, v == 1, b == 1,
                                           static_cast<std::uint8_t>(c))))
            return fehler(zeile, spalte);
        m_clock.sleep(kShortPause);
        m_panel.pumpEvents();
        LEDUmschalten(k);
        k = (k + 1) % K::AnzahlTasten;
        m_clock.sleep(kLongPause);
        const double t0 = m_clock.now();
        for (;;) {
            m_panel.pumpEvents();
            if (!m_panel.dauertestTicked())
                return Ende::Stopp;
            if (m_clock.now() > t0 + kTestAckWait)
                return fehler(zeile, spalte);
            if (QuittungsCode == 0)
                continue;
            if (QuittungsCode != 1)
                return Ende::Stopp;
            QuittungsCode = 0;
            ++DauertestZeichen;
            break;
        }
        m_clock.sleep(tS + kTestCharMinimum - m_clock.now());
        return Ende::Weiter;
    };

    auto zyklus = [&] {
        m_panel.pumpEvents();
        if (!LEDReset()) {
            // Already in demonstration mode: the cycle goes on and ends at the next test of the
            // run flag.
            m_panel.setDauertestTicked(false);
        }
        for (int b = 0; b <= 1; ++b) {
            for (int v = 0; v <= 1; ++v) {
                int c = 0x80;
                for (int zeile = 0; zeile < K::DisplayZeilen; ++zeile) {
                    for (int spalte = 0; spalte < K::DisplaySpalten; ++spalte) {
                        const Ende e = zeichen(b, v, zeile, spalte, c++);
                        if (e != Ende::Weiter)
                            return e;
                    }
                }
            }
        }
        return m_panel.dauertestTicked() ? Ende::Weiter : Ende::Stopp;
    };

    Ende e;
    do {
        e = zyklus();
    } while (e == Ende::Weiter);
    if (e == Ende::Stopp) {
        DisplayLoeschen();
        LEDReset();
    }
}

void KELM::DauertestDemo()
{
    int k = 0;
    while (m_panel.dauertestTicked()) {
        m_panel.pumpEvents();
        const double t = m_clock.now();
        setLed(k, !m_panel.ledLit(k));
        k = (k + 1) % K::AnzahlTasten;
        while (m_clock.now() - kDemoChaseStep < t)
            m_panel.pumpEvents();
    }
}

} // namespace kelm
