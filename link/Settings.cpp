#include "link/Settings.h"

#include <QDir>
#include <QStandardPaths>
#include <cstdio>

namespace kelm {

QString settingsFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kelm/kelm.conf");
}

std::unique_ptr<QSettings> openSettings()
{
    const QString path = settingsFilePath();
    auto settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    if (settings->status() == QSettings::NoError)
        return settings;
    static bool warned = false;
    if (!warned) {
        warned = true;
        std::fprintf(stderr, "kelm: %s cannot be read; its settings are ignored\n",
                     qPrintable(QDir::toNativeSeparators(path)));
    }
    return nullptr;
}

QString mappedComDevice(int n)
{
    const auto settings = openSettings();
    return settings ? settings->value(QStringLiteral("Ports/Com%1").arg(n)).toString().trimmed()
                    : QString();
}

} // namespace kelm
