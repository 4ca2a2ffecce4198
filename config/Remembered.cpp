#include "config/Remembered.h"

#include "link/MSComm.h"
#include "link/Settings.h"

#include "link/WholeFile.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPoint>
#include <QScreen>
#include <QWidget>
#include <cctype>
#include <cstdio>

namespace kelm::remembered {

namespace {
const QString kCom = QStringLiteral("Line/Com");
const QString kSettings = QStringLiteral("Line/Settings");
const QString kVariant = QStringLiteral("Line/Variant");
const QString kView = QStringLiteral("Monitor/View");
const QStringList kLineSettings{QStringLiteral("9600,e,8,1"), QStringLiteral("19200,e,8,1")};

// What is remembered, read from the state file and, for a value it does not hold, from
// kelm.conf, where earlier versions kept it.
class Remembered
{
public:
    Remembered() : m_state(stateFilePath(), QSettings::IniFormat), m_conf(openSettings()) {}
    QVariant value(const QString &key) const
    {
        if (m_state.contains(key))
            return m_state.value(key);
        return m_conf ? m_conf->value(key) : QVariant();
    }

private:
    const QSettings m_state;
    std::unique_ptr<const QSettings> m_conf;
};

// A value in the notation QSettings reads back: a quoted string, a number, a point.
QByteArray iniValue(const QVariant &value)
{
    if (value.typeId() == QMetaType::QPoint) {
        const QPoint p = value.toPoint();
        return QStringLiteral("@Point(%1 %2)").arg(p.x()).arg(p.y()).toUtf8();
    }
    if (value.typeId() == QMetaType::Int || value.typeId() == QMetaType::Bool)
        return value.toString().toUtf8();
    // A leading @ would read back as a type (@Point...); QSettings doubles it.
    QString text = value.toString();
    if (text.startsWith(QLatin1Char('@')))
        text.prepend(QLatin1Char('@'));
    QByteArray out = "\"";
    bool afterHex = false;
    for (const QChar c : text) {
        // \x takes every hex digit that follows, so one after it is written as \x too.
        afterHex = c.unicode() < 0x20 || (afterHex && c.unicode() < 0x80 && isxdigit(c.unicode()));
        if (afterHex)
            out += QStringLiteral("\\x%1").arg(int(c.unicode()), 4, 16, QLatin1Char('0')).toUtf8();
        else if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QByteArray("\\") + char(c.unicode());
        else
            out += QString(c).toUtf8();
    }
    return out + '"';
}

// Replaces the state file with its values and this one, all or nothing: a full disk leaves the
// state of before, and says so once.
void remember(std::initializer_list<std::pair<QString, QVariant>> changes)
{
    const QString path = stateFilePath();
    QMap<QString, QVariant> values;
    {
        const QSettings state(path, QSettings::IniFormat);
        for (const QString &k : state.allKeys())
            values.insert(k, state.value(k));
    }
    for (const auto &[key, value] : changes)
        values.insert(key, value);
    QByteArray text;
    QString group;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QString g = it.key().section(QLatin1Char('/'), 0, 0);
        if (g != group || text.isEmpty()) {
            text += (text.isEmpty() ? "[" : "\n[") + g.toUtf8() + "]\n";
            group = g;
        }
        text += it.key().section(QLatin1Char('/'), 1).toUtf8() + '=' + iniValue(it.value()) + '\n';
    }
    QString error;
    if (QDir().mkpath(QFileInfo(path).path()) && saveWholeFile(path, text, &error))
        return;
    static bool warned = false;
    if (!warned) {
        warned = true;
        if (error.isEmpty())
            error = QStringLiteral("its folder cannot be made");
        std::fprintf(stderr, "kelm: %s: %s; what the tool remembers is not saved\n",
                     qPrintable(QDir::toNativeSeparators(path)), qPrintable(error));
    }
}
} // namespace

QString stateFilePath()
{
    // The XDG base-directory rules: an unset, empty or relative XDG_STATE_HOME means the default.
    QString base = QString::fromLocal8Bit(qgetenv("XDG_STATE_HOME"));
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/kelm/state.conf");
}

void loadLine(MSComm &port)
{
    const Remembered r;
    const Remembered *s = &r;
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
    remember(
        {{kCom, port.commPortNumber()},
         {kSettings, port.settings()},
         {kVariant, port.tag() == QLatin1String("STX") ? port.tag() : QStringLiteral("none")}});
}

bool monitorAscii()
{
    return Remembered().value(kView).toString() != QLatin1String("HEX");
}

void saveMonitorAscii(bool ascii)
{
    remember({{kView, ascii ? QStringLiteral("ASCII") : QStringLiteral("HEX")}});
}

QString journalFile()
{
    return Remembered().value(QStringLiteral("Journal/File")).toString();
}

bool journalRecording()
{
    return Remembered().value(QStringLiteral("Journal/Recording")).toBool();
}

void saveJournal(const QString &file, bool recording)
{
    remember(
        {{QStringLiteral("Journal/File"), file}, {QStringLiteral("Journal/Recording"), recording}});
}

void restorePosition(QWidget &window, const QString &name)
{
    const QVariant value = Remembered().value(QStringLiteral("Windows/") + name);
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
    remember({{QStringLiteral("Windows/") + name, window.pos()}});
}

} // namespace kelm::remembered
