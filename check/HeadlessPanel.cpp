#include "check/HeadlessPanel.h"

#include "device/KELM.h"
#include "device/KELMkonstanten.h"

namespace kelm {

void HeadlessPanel::pumpEvents()
{
    if (onPump)
        onPump();
    m_pump.pass();
}

void HeadlessPanel::TasteSetzen(std::uint8_t &Taste)
{
    reports.push_back(Taste);
}

void HeadlessPanel::DisplayQuittung(std::uint8_t &Quittung)
{
    if (kelm)
        kelm->QuittungsCode = static_cast<std::int16_t>(Quittung - KELMkonstanten::Ziffer0);
}

} // namespace kelm
