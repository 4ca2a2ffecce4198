#pragma once

#include "check/HeadlessPanel.h"
#include "device/KELM.h"
#include "device/KELMkonstanten.h"
#include "link/mod3964R.h"

#include <QString>
#include <functional>
#include <vector>

namespace kelm {

struct CheckStep
{
    QString name;
    enum class Result
    {
        Passed,
        Failed,
        Skipped
    } result = Result::Skipped;
    double seconds = 0;
    QString detail;
    int linkError = 0; // LinkFehler where the link failed with a code, else 0 (a busy line too)
};

struct SoakFigures
{
    double minutes = 0;
    int characters = 0;
    int failures = 0;
    // A cycle writes every cell in each of the four attribute passes.
    int cycles() const
    {
        return characters /
               (2 * 2 * KELMkonstanten::DisplayZeilen * KELMkonstanten::DisplaySpalten);
    }
};

// The checks of one unit, run unattended through the same link and device procedures as the
// tool's window: status query, every LED on, blinking and off, every display line in each
// attribute; on request the keys and selectors with an operator, and a continuous test.
class UnitCheck
{
public:
    UnitCheck(mod3964R &link, KELM &kelm, HeadlessPanel &panel, Clock &clock = steadyClock());

    static constexpr double kKeyWait = 30.0; // s for each key or selector report
    // The name of the step that runs the continuous test, last of all when it runs.
    static constexpr char kSoakStep[] = "continuous test";
    static constexpr int kSoakProgressMs = 10000;

    bool keys = false;
    double soakMinutes = 0;
    // Told of every step as it ends: the step, its number (from 1) and the number of steps.
    std::function<void(const CheckStep &, int, int)> stepDone;
    // Told every 10 s of a continuous test: the figures so far and the seconds gone and to go.
    std::function<void(const SoakFigures &, double elapsed, double remaining)> soakProgress;
    // Asks the operator for something ("Press key 3").
    std::function<void(const QString &)> prompt;

    // Runs every step in order; after a failure the rest are skipped. After interrupt() the
    // steps so far only.
    std::vector<CheckStep> run();
    // Stops the run at its next safe point: a send under way ends as the link's rules say, a
    // wait for a report or the continuous test ends at its next pass. Safe to call from a
    // slot that runs inside a step's waits.
    void interrupt();
    bool interrupted() const { return m_interrupted; }
    // The steps of a run that never reached the unit: the first failed for `why`, the rest
    // skipped, so that a report says so in the same shape as any other failure.
    std::vector<CheckStep> unreached(const QString &why);
    const SoakFigures &soak() const { return m_soak; }

private:
    struct Plan
    {
        QString name;
        std::function<bool(CheckStep &)> run;
    };
    std::vector<Plan> plan();
    bool send(const QByteArray &telegram, CheckStep &step);
    void sendFailed(CheckStep &step, bool procedureFailed);
    bool acknowledged(CheckStep &step);
    bool waitForReport(const std::function<bool(std::uint8_t)> &wanted, CheckStep &step);
    bool continuousTest(CheckStep &step);

    mod3964R &m_link;
    KELM &m_kelm;
    HeadlessPanel &m_panel;
    Clock &m_clock;
    SoakFigures m_soak;
    bool m_interrupted = false;
    bool m_cutShort = false; // the step's wait ended for the interruption, not on its own
};

} // namespace kelm
