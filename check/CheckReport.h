#pragma once

#include "check/UnitCheck.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <vector>

namespace kelm {

// One run of kelm-check, for the summary on the terminal and the JSON report.
struct CheckRun
{
    QString port;   // as given: "--com 1" or the device
    QString device; // the device opened
    int speed = 9600;
    bool coversStx = false;
    QDateTime start;
    double seconds = 0;
    std::vector<CheckStep> steps;
    bool soakRan = false;
    SoakFigures soak;
    // Ended early by a signal: the steps so far.
    bool interrupted = false;
    // The traffic journal, when one was asked for, and why it stopped before the end (empty
    // when it recorded to the end).
    QString journal;
    QString journalStopped;

    bool passed() const;
    // "passed", "failed" or "interrupted".
    QString result() const;
};

// {"result": "passed"|"failed"|"interrupted", "port", "device", "speed", "variant", "start"
//  (ISO 8601 with its offset from UTC), "duration", "steps": [{"name", "result", "duration",
//  "detail", "error"}], "soak": {...}, "journal": {"file", "stopped"}}
QByteArray checkJson(const CheckRun &run);
// JUnit XML as CI servers read it: one testsuite "kelm-check" with port, device, speed, variant
// and the unit's status reply as properties, one testcase per step with failure or skipped.
QByteArray checkJunit(const CheckRun &run);
// A table of the steps, one line each, and the verdict.
QString checkSummary(const CheckRun &run);

} // namespace kelm
