#pragma once

#include "device/DevicePanel.h"
#include "link/EventPump.h"

#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>

namespace kelm {

class KELM;

// The screen the device procedures expect, for a program without one: it keeps the state
// they read and write, collects their messages instead of showing boxes, and remembers the
// unit's reports.
class HeadlessPanel : public DevicePanel
{
public:
    bool demoMode() const override { return m_demo; }
    void showMessage(const QString &text) override { messages << text; }
    void pumpEvents() override;
    void TasteSetzen(std::uint8_t &Taste) override;
    void DisplayQuittung(std::uint8_t &Quittung) override;
    void setDemoMode(bool on) override { m_demo = on; }
    bool dauertestTicked() const override { return m_dauertest; }
    void setDauertestTicked(bool on) override { m_dauertest = on; }
    bool ledLit(int key) const override { return m_lit[key]; }
    void setLedLit(int key, bool lit) override { m_lit[key] = lit; }
    void setLedYellow(int, bool) override {}
    void setDisplayBoxEnabled(int, bool) override {}
    void setDisplayBoxText(int, const QString &) override {}
    void setDisplayBoxCentred(int, bool) override {}

    // The procedures whose acknowledgements arrive here.
    KELM *kelm = nullptr;
    QStringList messages;
    // Every key and selector report, in order (codes as the unit sends them).
    std::vector<std::uint8_t> reports;
    // Runs once per pass of every wait that lets the event loop run.
    std::function<void()> onPump;
    // The waits sleep until this port's byte, not for a fixed nap.
    void watchPort(const MSComm &port) { m_pump.setPort(&port); }

private:
    EventPump m_pump;
    bool m_demo = true;
    bool m_dauertest = false;
    std::array<bool, 12> m_lit{};
};

} // namespace kelm
