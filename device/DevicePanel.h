#pragma once

#include "link/LinkHost.h"

#include <QString>

namespace kelm {

// The screen state the device procedures read and change: the demonstration-mode flag, the
// continuous-test check mark, the LED squares and the eight display boxes. The main window
// implements it; the procedures themselves know no widgets.
class DevicePanel : public LinkHost
{
public:
    virtual void setDemoMode(bool on) = 0;
    virtual bool dauertestTicked() const = 0;
    virtual void setDauertestTicked(bool on) = 0;

    // The lit flag kept in the LED square's tag, and the square's colour.
    virtual bool ledLit(int key) const = 0;
    virtual void setLedLit(int key, bool lit) = 0;
    virtual void setLedYellow(int key, bool yellow) = 0;

    virtual void setDisplayBoxEnabled(int line, bool enabled) = 0;
    virtual void setDisplayBoxText(int line, const QString &text) = 0;
    virtual void setDisplayBoxCentred(int line, bool centred) = 0;
};

} // namespace kelm
