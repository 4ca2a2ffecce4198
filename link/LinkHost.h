#pragma once

#include <QString>
#include <cstdint>

namespace kelm {

// What the link needs of the main window: the demonstration-mode flag, the message box, one
// pass of the event loop, and the two report entries.
class LinkHost
{
public:
    virtual ~LinkHost() = default;

    virtual bool demoMode() const = 0;
    // A modal message box with an OK button only, titled with the application title.
    virtual void showMessage(const QString &text) = 0;
    // Lets the event loop run once; the waits that keep the window alive call it once per pass.
    virtual void pumpEvents() = 0;
    virtual void TasteSetzen(std::uint8_t &Taste) = 0;
    virtual void DisplayQuittung(std::uint8_t &Quittung) = 0;
};

} // namespace kelm
