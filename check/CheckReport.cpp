#include "check/CheckReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamWriter>

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
                                {QStringLiteral("cycles"), run.soak.cycles()},
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

QByteArray checkJunit(const CheckRun &run)
{
    int failures = 0, skipped = 0;
    for (const CheckStep &s : run.steps) {
        failures += s.result == CheckStep::Result::Failed;
        skipped += s.result == CheckStep::Result::Skipped;
    }
    // The run's first step is the status query; what the unit answered belongs to the record.
    const QString status =
        !run.steps.empty() && run.steps.front().result == CheckStep::Result::Passed
            ? run.steps.front().detail
            : QString();
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeStartElement(QStringLiteral("testsuite"));
    xml.writeAttribute(QStringLiteral("name"), QStringLiteral("kelm-check"));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(run.steps.size()));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("skipped"), QString::number(skipped));
    xml.writeAttribute(QStringLiteral("time"), QString::number(run.seconds, 'f', 3));
    xml.writeAttribute(QStringLiteral("timestamp"), run.start.toString(Qt::ISODate));
    xml.writeStartElement(QStringLiteral("properties"));
    const std::pair<QString, QString> properties[] = {
        {QStringLiteral("port"), run.port},
        {QStringLiteral("device"), run.device},
        {QStringLiteral("speed"), QString::number(run.speed)},
        {QStringLiteral("variant"),
         run.coversStx ? QStringLiteral("STX") : QStringLiteral("plain")},
        {QStringLiteral("status"), status},
        // "interrupted" has no place of its own in JUnit's counts.
        {QStringLiteral("result"), run.result()}};
    for (const auto &[name, value] : properties) {
        xml.writeEmptyElement(QStringLiteral("property"));
        xml.writeAttribute(QStringLiteral("name"), name);
        xml.writeAttribute(QStringLiteral("value"), value);
    }
    xml.writeEndElement();
    for (const CheckStep &s : run.steps) {
        xml.writeStartElement(QStringLiteral("testcase"));
        xml.writeAttribute(QStringLiteral("classname"), QStringLiteral("kelm-check"));
        xml.writeAttribute(QStringLiteral("name"), s.name);
        xml.writeAttribute(QStringLiteral("time"), QString::number(s.seconds, 'f', 3));
        if (s.result == CheckStep::Result::Failed) {
            xml.writeStartElement(QStringLiteral("failure"));
            xml.writeAttribute(QStringLiteral("message"), s.detail);
            if (s.linkError != 0)
                xml.writeAttribute(QStringLiteral("type"),
                                   QStringLiteral("link error %1").arg(s.linkError));
            xml.writeCharacters(s.detail);
            xml.writeEndElement();
        } else if (s.result == CheckStep::Result::Skipped) {
            xml.writeEmptyElement(QStringLiteral("skipped"));
            if (!s.detail.isEmpty())
                xml.writeAttribute(QStringLiteral("message"), s.detail);
        }
        xml.writeEndElement();
    }
    xml.writeEndDocument();
    return out;
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
        // After a failure the rest did not run: one line for them, not a row each. A step cut
        // short by a signal ran, and says how far it got.
        if (s.result == CheckStep::Result::Skipped && s.detail.isEmpty()) {
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
