#include "link/Settings.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <cstdio>

namespace kelm {

namespace {
void warnOnce(const QString &text)
{
    static bool warned = false;
    if (!warned) {
        warned = true;
        std::fprintf(stderr, "kelm: %s\n", qPrintable(text));
    }
}

// QSettings passes over what it does not understand without a word; the user should hear of it.
void checkLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    int number = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        ++number;
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#') ||
            (line.startsWith('[') && line.endsWith(']')) || line.indexOf('=') > 0)
            continue;
        warnOnce(QStringLiteral("%1, line %2: \"%3\" is not a setting (NAME=VALUE) and is ignored")
                     .arg(QDir::toNativeSeparators(path))
                     .arg(number)
                     .arg(QString::fromUtf8(line)));
        return;
    }
}
} // namespace

QString settingsFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kelm/kelm.conf");
}

std::unique_ptr<const QSettings> openSettings()
{
    const QString path = settingsFilePath();
    auto settings = std::make_unique<const QSettings>(path, QSettings::IniFormat);
    if (settings->status() == QSettings::NoError) {
        checkLines(path);
        return settings;
    }
    warnOnce(QStringLiteral("%1 cannot be read; its settings are ignored")
                 .arg(QDir::toNativeSeparators(path)));
    return nullptr;
}

QString mappedComDevice(int n)
{
    const auto settings = openSettings();
    return settings ? settings->value(QStringLiteral("Ports/Com%1").arg(n)).toString().trimmed()
                    : QString();
}

qint64 configuredJournalMaxBytes()
{
    const auto s = openSettings();
    bool ok = false;
    const qint64 mb = s ? s->value(QStringLiteral("Journal/MaxSizeMB")).toLongLong(&ok) : 0;
    return ok && mb >= 1 && mb <= 100000 ? mb * 1024 * 1024 : kDefaultJournalMaxBytes;
}

int configuredJournalFiles()
{
    const auto s = openSettings();
    bool ok = false;
    const int files = s ? s->value(QStringLiteral("Journal/Files")).toInt(&ok) : 0;
    return ok && files >= 1 && files <= 1000 ? files : kDefaultJournalFiles;
}

} // namespace kelm
