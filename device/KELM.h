#pragma once

#include "device/DevicePanel.h"
#include "link/Clock.h"
#include "link/mod3964R.h"

#include <array>
#include <cstdint>

namespace kelm {

constexpr double kBlinkInterval = 0.567; // s, Timer1
constexpr double kDisplayAckWait = 1.0;  // s, display line and display clear
constexpr double kTestAckWait = 10.0;    // s, continuous test
constexpr double kTestCharMinimum = 0.3; // s per character of the continuous test
constexpr double kDemoChaseStep = 0.5;   // s per LED of the demonstration chase

// Shown when the status query went out and no reply came.
inline const QString kNoUnit = QStringLiteral("Kein KELM gefunden");

// The device procedures: LEDs, status query and reset, display clear, display lines and the
// continuous test. They drive the unit through the link and the screen through the panel.
class KELM
{
public:
    KELM(mod3964R &link, DevicePanel &panel, Clock &clock = steadyClock());

    // Last display acknowledgement code, 0 = none pending.
    std::int16_t QuittungsCode = 0;
    // Characters of the continuous test the unit acknowledged, counted over the run, for a
    // long run's figures.
    long DauertestZeichen = 0;
    // 0 to 11: LED k blinks (-1); 12: the blink phase shared by all blinking LEDs.
    std::array<std::int16_t, 13> LEDBlinken{};

    void LEDUmschalten(int k);
    // The blink command behind a double-click.
    void LEDBlinkenSetzen(int k);
    void Timer1_Timer();

    void Statusabfrage();
    bool DisplayLoeschen();
    bool LEDReset();
    void DisplayFreigeben();
    void DisplaySperren();
    void Reset();

    // Waits up to seconds for the unit's display acknowledgement, letting the event loop run;
    // its code (taken, so QuittungsCode is 0 again), or 0 when none came.
    std::int16_t Quittung(double seconds);

    // Sends line n with the attributes and waits for the acknowledgement (Enter in a line).
    void DisplayZeileSchreiben(int n, const QString &text, bool blinken, bool invers);

    void DauertestClick();
    void DauertestLauf();
    void DauertestDemo();

private:
    bool senden(const QByteArray &telegramm);
    void setLed(int k, bool lit);

    mod3964R &m_link;
    DevicePanel &m_panel;
    Clock &m_clock;
};

} // namespace kelm
