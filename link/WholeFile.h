#pragma once

#include <QByteArray>
#include <QString>

namespace kelm {

// A file the tool writes for someone to read later (a log, a report, the remembered state) is
// either there whole or not replaced at all: a full disk or a size limit leaves the previous
// one as it was. false with a reason an operator can read.
bool saveWholeFile(const QString &path, const QByteArray &contents, QString *error);

// Whether saveWholeFile could replace path now: its folder exists and takes a new file, and
// path is no folder. For a run that would otherwise find out only at its end.
bool canSaveWholeFile(const QString &path, QString *error);

} // namespace kelm
