#include "journal/TrafficJournal.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace kelm {

namespace {
// A pause longer than this ends a burst: the next byte starts a line of its own.
constexpr double kBurstGap = 0.05;
constexpr int kBytesPerLine = 32;
constexpr int kFlushIntervalMs = 1000;

const char kHex[] = "0123456789ABCDEF";

QString rotated(const QString &path, int n)
{
    return n == 0 ? path : path + QLatin1Char('.') + QString::number(n);
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

timespec wallClock(tm *local)
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    ::localtime_r(&ts.tv_sec, local);
    return ts;
}

QString utcOffsetText(long seconds)
{
    const long minutes = std::labs(seconds) / 60;
    return QStringLiteral("UTC%1%2:%3")
        .arg(seconds < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QByteArray journalLineHead(const tm &local, long nanoseconds, double sinceOpened, const char *tag)
{
    // Whole milliseconds, not %f: the program runs under the user's locale, whose decimal mark
    // may be a comma, and the column must read the same everywhere.
    const long long ms = std::max(0LL, std::llround(sinceOpened * 1000));
    char head[96];
    const int n = std::snprintf(
        head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03ld  +%07lld.%03lld  %-4s",
        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
        local.tm_sec, nanoseconds / 1000000, ms / 1000, ms % 1000, tag);
    return QByteArray(head, std::clamp<int>(n, 0, sizeof head - 1));
}

namespace {
// An event's text on one line whatever it holds: a device path may carry a line break, and a
// line of its own in the journal must not be forged by one.
QByteArray escaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\\')
            out += QStringLiteral("\\\\");
        else if (u == '\n')
            out += QStringLiteral("\\n");
        else if (u == '\r')
            out += QStringLiteral("\\r");
        else if (u == '\t')
            out += QStringLiteral("\\t");
        else if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out.toUtf8();
}
} // namespace

TrafficJournal::TrafficJournal(Clock &clock, QObject *parent) : QObject(parent), m_clock(clock)
{
    m_flushTimer.setInterval(kFlushIntervalMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &TrafficJournal::flush);
}

TrafficJournal::~TrafficJournal()
{
    stop();
}

bool TrafficJournal::start(const QString &path, QString *error, qint64 maxBytes, int files)
{
    stop();
    m_path = path;
    m_failure.clear();
    m_maxBytes = std::max<qint64>(maxBytes, 1024);
    m_files = std::max(files, 1);
    m_file.setFileName(path);
    // Unbuffered: a write the disk refuses fails at once, with its reason. A device (/dev/null,
    // a terminal) has no end to append at.
    const QFileInfo info(path);
    QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    if (!info.exists() || info.isFile())
        mode |= QIODevice::Append;
    if (!m_file.open(mode)) {
        *error = m_file.errorString();
        return false;
    }
    m_written = m_file.size();
    struct stat st
    {
    };
    // A device (/dev/null, a terminal) is written as it is: moving it aside at rotation would
    // put a plain file in its place.
    m_rotates = ::fstat(m_file.handle(), &st) == 0 && S_ISREG(st.st_mode);
    m_openedAt = m_clock.now();
    m_direction = -1;
    m_lineOpen = false;
    tm local{};
    wallClock(&local);
    m_utcOffset = local.tm_gmtoff;
    m_flushTimer.start();
    // A first write that fails is the caller's to report, once.
    m_starting = true;
    note(QStringLiteral("journal started, local time is ") + utcOffsetText(m_utcOffset), true);
    m_starting = false;
    if (!recording()) {
        *error = m_failure;
        return false;
    }
    return true;
}

void TrafficJournal::stop()
{
    if (!recording())
        return;
    note(QStringLiteral("journal stopped"));
    flush();
    m_file.close();
    m_flushTimer.stop();
    m_pending.clear();
}

void TrafficJournal::portOpened(const QString &description)
{
    m_openedAt = m_clock.now();
    note(QStringLiteral("port opened: ") + description, true);
}

void TrafficJournal::appendHead(const char *tag)
{
    tm local{};
    const timespec ts = wallClock(&local);
    const double sinceOpened = m_clock.now() - m_openedAt;
    if (local.tm_gmtoff != m_utcOffset) {
        // Daylight saving time began or ended: the times from here on are in the new offset.
        m_utcOffset = local.tm_gmtoff;
        m_pending += journalLineHead(local, ts.tv_nsec, sinceOpened, "----");
        m_pending += " local time is now " + utcOffsetText(m_utcOffset).toLatin1() + '\n';
    }
    m_pending += journalLineHead(local, ts.tv_nsec, sinceOpened, tag);
}

bool TrafficJournal::beginLine(const char *tag, qsizetype room)
{
    // The line under way may already be on the disk, flushed half way.
    if (m_lineOpen)
        m_pending += '\n';
    m_lineOpen = false;
    constexpr qsizetype kHeadSize = 43;
    if (m_rotates && m_written > 0 &&
        m_written + m_pending.size() + kHeadSize + room > m_maxBytes && !rotate())
        return false;
    appendHead(tag);
    m_lineOpen = true;
    m_lineBytes = 0;
    return true;
}

void TrafficJournal::V24MonWriteBuf(std::uint8_t direction, std::uint8_t value)
{
    if (!recording())
        return;
    const double now = m_clock.now();
    if (direction != m_direction || now - m_lastByte > kBurstGap || m_lineBytes >= kBytesPerLine) {
        if (!beginLine(direction == DirPc ? "PC" : "KELM", 3 * kBytesPerLine + 1))
            return;
        m_direction = direction;
    }
    m_lastByte = now;
    const char hex[3] = {' ', kHex[value >> 4], kHex[value & 0x0F]};
    m_pending.append(hex, 3);
    ++m_lineBytes;
}

void TrafficJournal::note(const QString &event, bool urgent)
{
    if (!recording())
        return;
    const QByteArray text = escaped(event);
    if (!beginLine("----", text.size() + 2))
        return;
    m_pending += ' ';
    m_pending += text;
    m_pending += '\n';
    m_lineOpen = false;
    m_direction = -1;
    if (urgent)
        flush();
}

bool TrafficJournal::flush()
{
    if (!recording())
        return false;
    if (m_pending.isEmpty())
        return true;
    return fileStillThere() && writePending();
}

bool TrafficJournal::fileStillThere()
{
    // Writes to a file that was removed (its folder cleaned up, say) succeed and go nowhere.
    struct stat open
    {
    };
    struct stat named
    {
    };
    if (!m_rotates)
        return true;
    if (::fstat(m_file.handle(), &open) != 0)
        return fail(qt_error_string(errno));
    if (open.st_nlink == 0)
        return fail(tr("the file was removed while recording"));
    if (::stat(QFile::encodeName(m_path).constData(), &named) != 0 || named.st_ino != open.st_ino ||
        named.st_dev != open.st_dev)
        return fail(tr("the file was moved or replaced while recording"));
    return true;
}

bool TrafficJournal::writePending()
{
    errno = 0;
    if (m_file.write(m_pending) != m_pending.size()) {
        const QString reason = errno != 0 ? qt_error_string(errno) : m_file.errorString();
        // No half line at the end: the file ends on the last line that was written whole.
        if (m_rotates) [[maybe_unused]]
            const int cut = ::ftruncate(m_file.handle(), m_written);
        return fail(reason);
    }
    m_written += m_pending.size();
    m_pending.clear();
    return true;
}

bool TrafficJournal::rotate()
{
    // The full file ends on the whole line before this one; one removed meanwhile is said to be,
    // as a flush would have found.
    if (!fileStillThere() || !writePending())
        return false;
    m_file.close();
    // Oldest first; rename() replaces the one it moves onto. FILE itself must move, or it is
    // kept as it is and the journal stops: it is never emptied in its own place.
    for (int n = m_files - 1; n > 0; --n) {
        const QString from = rotated(m_path, n - 1);
        const QString to = rotated(m_path, n);
        if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0 &&
            (errno != ENOENT || n == 1))
            return fail(tr("cannot move %1 to %2: %3")
                            .arg(native(from), native(to), qt_error_string(errno)));
    }
    if (m_files == 1 && ::unlink(QFile::encodeName(m_path).constData()) != 0 && errno != ENOENT)
        return fail(tr("cannot remove it at its size limit: %1").arg(qt_error_string(errno)));
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return fail(m_file.errorString());
    m_written = 0;
    appendHead("----");
    m_pending += m_files > 1 ? " continues " + escaped(native(rotated(m_path, 1)))
                             : QByteArray(" started again at its size limit");
    m_pending += '\n';
    return true;
}

bool TrafficJournal::fail(const QString &reason)
{
    // Said once: recording stops here, and the tool goes on without it.
    m_failure = reason;
    m_file.close();
    m_flushTimer.stop();
    m_pending.clear();
    m_lineOpen = false;
    if (!m_starting)
        emit failed(native(m_path) + QStringLiteral(": ") + reason);
    return false;
}

} // namespace kelm
