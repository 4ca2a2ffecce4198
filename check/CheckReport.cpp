#include "check/CheckReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kelm {

namespace {
QString resultName(CheckStep::Result r)
{
    switch (r) {
    case CheckStep::Result::Passed:
        return QStringLiteral("passed");
    case CheckStep::Result::Failed:
        return QStringLiteral("failed");
    case CheckStep::Result::Skipped:
        break;
    }
    return QStringLiteral("skipped");
}
} // namespace

bool CheckRun::passed() const
{
    if (steps.empty())
        return false;
    for (const CheckStep &s : steps)
        if (s.result != CheckStep::Result::Passed)
            return false;
    return true;
}

QString CheckRun::result() const
{
    if (interrupted)
        return QStringLiteral("interrupted");
    return passed() ? QStringLiteral("passed") : QStringLiteral("failed");
}

QByteArray checkJson(const CheckRun &run)
{
    QJsonArray steps;
    for (const CheckStep &s : run.steps) {
        QJsonObject o{{QStringLiteral("name"), s.name},
                      {QStringLiteral("result"), resultName(s.result)},
                      {QStringLiteral("duration"), s.seconds},
                      {QStringLiteral("detail"), s.detail}};
        if (s.linkError != 0)
            o.insert(QStringLiteral("error"), s.linkError);
        steps.append(o);
    }
    // With the offset, so that an hour around a change of daylight saving time is one hour.
    const QDateTime start = run.start.toOffsetFromUtc(run.start.offsetFromUtc());
    QJsonObject root{{QStringLiteral("result"), run.result()},
                     {QStringLiteral("port"), run.port},
                     {QStringLiteral("device"), run.device},
                     {QStringLiteral("speed"), run.speed},
                     {QStringLiteral("variant"),
                      run.coversStx ? QStringLiteral("STX") : QStringLiteral("plain")},
                     {QStringLiteral("start"), start.toString(Qt::ISODateWithMs)},
                     {QStringLiteral("duration"), run.seconds},
                     {QStringLiteral("steps"), steps}};
    if (run.soakRan) {
        root.insert(QStringLiteral("soak"),
                    QJsonObject{{QStringLiteral("minutes"), run.soak.minutes},
                                {QStringLiteral("cycles"), run.soak.cycles},
                                {QStringLiteral("characters"), run.soak.characters},
                                {QStringLiteral("failures"), run.soak.failures}});
    }
    if (!run.journal.isEmpty()) {
        QJsonObject journal{{QStringLiteral("file"), run.journal}};
        if (!run.journalStopped.isEmpty())
            journal.insert(QStringLiteral("stopped"), run.journalStopped);
        root.insert(QStringLiteral("journal"), journal);
    }
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QString checkSummary(const CheckRun &run)
{
    QString out;
    int width = 4;
    for (const CheckStep &s : run.steps)
        width = std::max(width, int(s.name.size()));
    out += QStringLiteral("%1  %2  %3  %4\n")
               .arg(QStringLiteral("step"), -width)
               .arg(QStringLiteral("result"), -7)
               .arg(QStringLiteral("time"), 7)
               .arg(QStringLiteral("detail"));
    int skipped = 0;
    for (const CheckStep &s : run.steps) {
        // After a failure the rest did not run: one line for them, not a row each.
        if (s.result == CheckStep::Result::Skipped) {
            ++skipped;
            continue;
        }
        out += QStringLiteral("%1  %2  %3  %4\n")
                   .arg(s.name, -width)
                   .arg(resultName(s.result), -7)
                   .arg(QString::number(s.seconds, 'f', 2) + QLatin1Char('s'), 7)
                   .arg(s.detail);
    }
    if (skipped > 0)
        out += QStringLiteral("(%1 more steps skipped after the failure)\n").arg(skipped);
    int passed = 0;
    for (const CheckStep &s : run.steps)
        passed += s.result == CheckStep::Result::Passed;
    out += QStringLiteral("%1: %2 of %3 steps passed on %4 at %5 baud (%6), %7 s\n")
               .arg(run.result().toUpper())
               .arg(passed)
               .arg(run.steps.size())
               .arg(run.device)
               .arg(run.speed)
               .arg(run.coversStx ? QStringLiteral("STX") : QStringLiteral("plain"))
               .arg(run.seconds, 0, 'f', 1);
    if (!run.journalStopped.isEmpty())
        out += QStringLiteral("journal %1 stopped: %2\n").arg(run.journal, run.journalStopped);
    return out;
}

} // namespace kelm
