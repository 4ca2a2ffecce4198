#include "config/Remembered.h"

#include "link/MSComm.h"
#include "link/Settings.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace kelm::remembered {

namespace {
const QString kCom = QStringLiteral("Line/Com");
const QString kSettings = QStringLiteral("Line/Settings");
const QString kVariant = QStringLiteral("Line/Variant");
const QString kView = QStringLiteral("Monitor/View");
const QStringList kLineSettings{QStringLiteral("9600,e,8,1"), QStringLiteral("19200,e,8,1")};
} // namespace

void loadLine(MSComm &port)
{
    const auto s = openSettings();
    if (!s)
        return;
    bool ok = false;
    const int com = s->value(kCom).toInt(&ok);
    if (ok && com >= 1 && com <= 4)
        port.setCommPort(com);
    const QString settings = s->value(kSettings).toString();
    if (kLineSettings.contains(settings))
        port.setSettings(settings);
    const QString variant = s->value(kVariant).toString();
    if (variant == QLatin1String("STX") || variant == QLatin1String("none"))
        port.setTag(variant == QLatin1String("STX") ? variant : QString());
}

void saveLine(const MSComm &port)
{
    const auto s = openSettings();
    if (!s)
        return;
    s->setValue(kCom, port.commPortNumber());
    s->setValue(kSettings, port.settings());
    s->setValue(kVariant, port.tag() == QLatin1String("STX") ? port.tag() : QStringLiteral("none"));
}

bool monitorAscii()
{
    const auto s = openSettings();
    return !s || s->value(kView).toString() != QLatin1String("HEX");
}

void saveMonitorAscii(bool ascii)
{
    if (const auto s = openSettings())
        s->setValue(kView, ascii ? QStringLiteral("ASCII") : QStringLiteral("HEX"));
}

QString journalFile()
{
    const auto s = openSettings();
    return s ? s->value(QStringLiteral("Journal/File")).toString() : QString();
}

bool journalRecording()
{
    const auto s = openSettings();
    return s && s->value(QStringLiteral("Journal/Recording")).toBool();
}

qint64 journalMaxBytes()
{
    // In MB; out of range falls back to 10 MB.
    const auto s = openSettings();
    bool ok = false;
    const qint64 mb = s ? s->value(QStringLiteral("Journal/MaxSizeMB")).toLongLong(&ok) : 0;
    return (ok && mb >= 1 && mb <= 100000 ? mb : 10) * 1024 * 1024;
}

int journalFiles()
{
    const auto s = openSettings();
    bool ok = false;
    const int files = s ? s->value(QStringLiteral("Journal/Files")).toInt(&ok) : 0;
    return ok && files >= 1 && files <= 1000 ? files : 5;
}

void saveJournal(const QString &file, bool recording)
{
    if (const auto s = openSettings()) {
        s->setValue(QStringLiteral("Journal/File"), file);
        s->setValue(QStringLiteral("Journal/Recording"), recording);
    }
}

void restorePosition(QWidget &window, const QString &name)
{
    const auto s = openSettings();
    if (!s)
        return;
    const QVariant value = s->value(QStringLiteral("Windows/") + name);
    if (!value.canConvert<QPoint>())
        return;
    // The whole window must fit on one screen as it is now: a place remembered at another
    // scale or on a screen since gone would leave most of the window out of reach.
    const QRect place(value.toPoint(), window.size().expandedTo(window.sizeHint()));
    for (const QScreen *screen : QGuiApplication::screens()) {
        if (screen->availableGeometry().contains(place)) {
            window.move(place.topLeft());
            return;
        }
    }
}

void savePosition(const QWidget &window, const QString &name)
{
    if (const auto s = openSettings())
        s->setValue(QStringLiteral("Windows/") + name, window.pos());
}

} // namespace kelm::remembered
