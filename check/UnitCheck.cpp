#include "check/UnitCheck.h"

#include "device/KELMkonstanten.h"
#include "device/Telegramme.h"

#include <QTimer>

namespace kelm {

namespace K = KELMkonstanten;

namespace {
// How often the continuous test looks at the clock for its end.
constexpr int kSoakWatchMs = 200;
} // namespace

UnitCheck::UnitCheck(mod3964R &link, KELM &kelm, HeadlessPanel &panel, Clock &clock)
    : m_link(link), m_kelm(kelm), m_panel(panel), m_clock(clock)
{
    m_panel.kelm = &m_kelm;
}

namespace {
// What the link's error code means for a telegram sent (the tool's window says no more than
// "Fehler beim Senden") or for the unit's reply awaited.
QString sendFailure(std::uint8_t code)
{
    switch (code) {
    case linkerr::PortClosed:
        return QStringLiteral("send failed: port closed (131)");
    case linkerr::Timeout:
        return QStringLiteral("send failed: no DLE within 1 s (132)");
    case linkerr::WrongReply:
        return QStringLiteral("send failed: neither DLE nor NAK after the block (136)");
    case linkerr::Nak:
        return QStringLiteral("send failed: refused with NAK %1 times (137)").arg(kMaxAttempts);
    }
    return QStringLiteral("send failed: link error %1").arg(code);
}

QString replyFailure(std::uint8_t code)
{
    switch (code) {
    case linkerr::PortClosed:
        return QStringLiteral("no unit found: port closed (131)");
    case linkerr::Timeout:
        return QStringLiteral("no unit found: no reply within 1 s (132)");
    case linkerr::WrongReply:
        return QStringLiteral("no unit found: broken reply, refused with NAK (136)");
    }
    return QStringLiteral("no unit found: link error %1").arg(code);
}
} // namespace

bool UnitCheck::send(const QByteArray &telegram, CheckStep &step)
{
    const qsizetype shown = m_panel.messages.size();
    if (m_link.TelegrammSenden(static_cast<int>(telegram.size()), telegram))
        return true;
    sendFailed(step, m_panel.messages.mid(shown).contains(kSendError));
    return false;
}

void UnitCheck::sendFailed(CheckStep &step, bool procedureFailed)
{
    // A line kept busy past the wait fails without a word and leaves the code of whatever came
    // before (a give-way's NAK, an earlier send's error).
    step.linkError = procedureFailed ? m_link.LinkFehler : linkerr::Ok;
    step.detail = procedureFailed ? sendFailure(m_link.LinkFehler)
                                  : QStringLiteral("send failed: line busy for 5 s");
}

bool UnitCheck::acknowledged(CheckStep &step)
{
    const std::int16_t code = m_kelm.Quittung(kDisplayAckWait);
    if (code == 1)
        return true;
    step.detail = code == 0 ? QStringLiteral("no acknowledgement within 1 s")
                            : QStringLiteral("acknowledged with digit %1").arg(code);
    return false;
}

bool UnitCheck::waitForReport(const std::function<bool(std::uint8_t)> &wanted, CheckStep &step)
{
    const std::size_t seen = m_panel.reports.size();
    const double start = m_clock.now();
    while (m_clock.now() - start <= kKeyWait && !m_interrupted) {
        m_panel.pumpEvents();
        for (std::size_t i = seen; i < m_panel.reports.size(); ++i) {
            if (wanted(m_panel.reports[i]))
                return true;
        }
    }
    m_cutShort = m_interrupted;
    step.detail = m_panel.reports.size() == seen
                      ? QStringLiteral("no report within %1 s").arg(kKeyWait)
                      : QStringLiteral("other reports only (last 0x%1)")
                            .arg(m_panel.reports.back(), 2, 16, QLatin1Char('0'));
    return false;
}

bool UnitCheck::continuousTest(CheckStep &step)
{
    const double start = m_clock.now();
    const double end = start + soakMinutes * 60.0;
    const long before = m_kelm.DauertestZeichen;
    // The stop comes as the operator's click would, inside the test's own waits. Watched on the
    // clock, not set as one long timer: a month of minutes does not fit a timer's int.
    QTimer watch;
    watch.setInterval(kSoakWatchMs);
    QObject::connect(&watch, &QTimer::timeout, [this, end] {
        if (m_clock.now() >= end)
            m_panel.setDauertestTicked(false);
    });
    watch.start();
    // A run of hours must show that it is alive.
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [this, start, end, before] {
        m_soak.characters = int(m_kelm.DauertestZeichen - before);
        if (soakProgress)
            soakProgress(m_soak, m_clock.now() - start, std::max(0.0, end - m_clock.now()));
    });
    tick.start(kSoakProgressMs);
    while (m_clock.now() < end && !m_interrupted) {
        m_panel.setDauertestTicked(false);
        m_panel.setDemoMode(false);
        m_kelm.DauertestClick();
        if (!m_panel.demoMode())
            break; // stopped on time
        // A failure: counted, the unit asked for again, and the test goes on.
        ++m_soak.failures;
        m_kelm.Statusabfrage();
        if (m_panel.demoMode())
            break;
    }
    m_soak.minutes = (m_clock.now() - start) / 60.0;
    m_soak.characters = int(m_kelm.DauertestZeichen - before);
    step.detail = QStringLiteral("%1 cycles, %2 characters, %3 failures")
                      .arg(m_soak.cycles())
                      .arg(m_soak.characters)
                      .arg(m_soak.failures);
    // Cut short, it says nothing of the unit's endurance; the failures it counted so far do.
    m_cutShort = m_interrupted && m_soak.failures == 0;
    return m_soak.failures == 0 && !m_panel.demoMode() && !m_interrupted;
}

std::vector<UnitCheck::Plan> UnitCheck::plan()
{
    std::vector<Plan> p;
    p.push_back({QStringLiteral("status query"), [this](CheckStep &step) {
                     m_panel.reports.clear();
                     m_panel.messages.clear();
                     m_kelm.Statusabfrage();
                     if (m_panel.demoMode()) {
                         // Only a query that went out waits for the reply that says no unit.
                         if (m_panel.messages.contains(kNoUnit)) {
                             step.linkError = m_link.LinkFehler;
                             step.detail = replyFailure(m_link.LinkFehler);
                         } else {
                             sendFailed(step, m_panel.messages.contains(kSendError));
                         }
                         return false;
                     }
                     auto code = [this](std::size_t i) {
                         return i < m_panel.reports.size() ? int(m_panel.reports[i]) : 0;
                     };
                     step.detail = QStringLiteral("key %1, selector 1 at %2, selector 2 at %3")
                                       .arg(code(0) - K::KeineTaste)
                                       .arg(code(1) - K::Wahlschalter1)
                                       .arg(code(2) - K::Wahlschalter2);
                     return true;
                 }});
    for (int k = 0; k < K::AnzahlTasten; ++k) {
        p.push_back({QStringLiteral("LED %1 on").arg(k + 1),
                     [this, k](CheckStep &s) { return send(Telegramm::ledOn(k), s); }});
        p.push_back({QStringLiteral("LED %1 blinking").arg(k + 1),
                     [this, k](CheckStep &s) { return send(Telegramm::ledBlink(k), s); }});
        p.push_back({QStringLiteral("LED %1 off").arg(k + 1),
                     [this, k](CheckStep &s) { return send(Telegramm::ledOff(k), s); }});
    }
    p.push_back({QStringLiteral("all LEDs off"),
                 [this](CheckStep &s) { return send(Telegramm::allLedsOff(), s); }});
    auto clear = [this](CheckStep &s) {
        m_kelm.QuittungsCode = 0; // an acknowledgement left over must not count for this one
        return send(Telegramm::displayClear(), s) && acknowledged(s);
    };
    p.push_back({QStringLiteral("display clear"), clear});
    const struct
    {
        const char *name;
        bool inverse, blink;
        const char *shown; // what the unit shows, in its own language
    } attributes[] = {{"normal", false, false, "normal"},
                      {"inverse", true, false, "invers"},
                      {"blinking", false, true, "blinkt"}};
    for (int n = 0; n < K::DisplayZeilen; ++n) {
        for (const auto &a : attributes) {
            const QString text =
                QStringLiteral("Zeile %1 %2").arg(n + 1).arg(QLatin1String(a.shown));
            p.push_back({QStringLiteral("display line %1 %2").arg(n + 1).arg(QLatin1String(a.name)),
                         [this, n, text, a](CheckStep &s) {
                             m_kelm.QuittungsCode = 0;
                             return send(Telegramm::displayLine(n, text, a.blink, a.inverse), s) &&
                                    acknowledged(s);
                         }});
        }
    }
    p.push_back({QStringLiteral("display clear"), clear});
    if (keys) {
        for (int k = 0; k < K::AnzahlTasten; ++k) {
            p.push_back({QStringLiteral("key %1").arg(k + 1), [this, k](CheckStep &s) {
                             if (prompt)
                                 prompt(QStringLiteral("Press key %1").arg(k + 1));
                             const auto code = std::uint8_t(K::KeineTaste + k + 1);
                             return waitForReport([code](std::uint8_t c) { return c == code; }, s);
                         }});
        }
        for (int w = 1; w <= 2; ++w) {
            p.push_back({QStringLiteral("selector %1").arg(w), [this, w](CheckStep &s) {
                             if (prompt)
                                 prompt(QStringLiteral("Turn selector %1").arg(w));
                             const int base = w == 1 ? K::Wahlschalter1 : K::Wahlschalter2;
                             return waitForReport(
                                 [base](std::uint8_t c) { return c > base && c <= base + 12; }, s);
                         }});
        }
    }
    if (soakMinutes > 0)
        p.push_back({QLatin1String(kSoakStep), [this](CheckStep &s) { return continuousTest(s); }});
    return p;
}

std::vector<CheckStep> UnitCheck::run()
{
    const std::vector<Plan> steps = plan();
    std::vector<CheckStep> results;
    bool failed = false;
    for (const Plan &planned : steps) {
        if (m_interrupted)
            break;
        CheckStep step;
        step.name = planned.name;
        if (!failed) {
            m_cutShort = false;
            const double start = m_clock.now();
            step.result = planned.run(step) ? CheckStep::Result::Passed : CheckStep::Result::Failed;
            step.seconds = m_clock.now() - start;
            // A wait cut short by the interruption is no verdict on the unit. A send is never
            // cut short: one that failed meanwhile failed on its own.
            if (m_cutShort && step.result == CheckStep::Result::Failed) {
                step.result = CheckStep::Result::Skipped;
                step.detail = planned.name == QLatin1String(kSoakStep)
                                  ? QStringLiteral("interrupted: ") + step.detail
                                  : QStringLiteral("interrupted");
            }
            failed = step.result == CheckStep::Result::Failed;
        }
        results.push_back(step);
        if (stepDone)
            stepDone(results.back(), int(results.size()), int(steps.size()));
    }
    return results;
}

std::vector<CheckStep> UnitCheck::unreached(const QString &why)
{
    std::vector<CheckStep> steps;
    for (const Plan &planned : plan()) {
        CheckStep step;
        step.name = planned.name;
        steps.push_back(step);
    }
    steps.front().result = CheckStep::Result::Failed;
    steps.front().detail = why;
    return steps;
}

void UnitCheck::interrupt()
{
    m_interrupted = true;
    m_panel.setDauertestTicked(false);
}

} // namespace kelm
