#pragma once

#include "sim/SimUnit.h"

#include <QObject>
#include <QSocketNotifier>

namespace kelm::sim {

// Drives a simulated unit from a script on standard input and reports what it settles on
// standard output, one line each, so that another program (a test, a bench script) can run
// the unit as an operator would and check the line from outside the tool.
//
// Commands:  key N (1 to 12) | release | selector S P | report HEX | burst N | quit
// Events:    rx HEX (a block of the tool's accepted) | tx HEX (a report the tool accepted) |
//            tx-failed HEX (a report given up)
class UnitScript : public QObject
{
    Q_OBJECT

public:
    explicit UnitScript(SimUnit &unit, QObject *parent = nullptr);
    // Registers the event lines with the unit; call before the unit starts.
    static void reportEvents(SimUnit &unit);
    // Carries out one command line; false for one it does not know.
    bool execute(const QString &line);

private:
    void readCommands();

    SimUnit &m_unit;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
};

} // namespace kelm::sim
