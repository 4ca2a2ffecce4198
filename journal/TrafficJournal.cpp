#include "journal/TrafficJournal.h"

#include <QDir>
#include <cerrno>
#include <cstdio>
#include <ctime>

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
    m_maxBytes = std::max<qint64>(maxBytes, 1024);
    m_files = std::max(files, 1);
    m_file.setFileName(path);
    // Unbuffered: a write the disk refuses fails at once, with its reason.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = m_file.errorString();
        return false;
    }
    m_written = m_file.size();
    m_openedAt = m_clock.now();
    m_direction = -1;
    m_lineOpen = false;
    m_flushTimer.start();
    note(QStringLiteral("journal started"), true);
    return recording();
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

void TrafficJournal::beginLine(const char *tag)
{
    // The line under way may already be on the disk, flushed half way.
    if (m_lineOpen)
        m_pending += '\n';
    m_lineOpen = true;
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    char head[80];
    const int n = std::snprintf(
        head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03ld  +%011.3f  %-4s",
        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
        local.tm_sec, ts.tv_nsec / 1000000, m_clock.now() - m_openedAt, tag);
    m_pending.append(head, std::min<int>(n, sizeof head - 1));
    m_lineBytes = 0;
}

void TrafficJournal::V24MonWriteBuf(std::uint8_t direction, std::uint8_t value)
{
    if (!recording())
        return;
    const double now = m_clock.now();
    if (direction != m_direction || now - m_lastByte > kBurstGap || m_lineBytes >= kBytesPerLine) {
        beginLine(direction == DirPc ? "PC" : "KELM");
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
    beginLine("----");
    m_pending += ' ';
    m_pending += event.toUtf8();
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
    if (m_written > 0 && m_written + m_pending.size() > m_maxBytes && !rotate())
        return false;
    errno = 0;
    if (m_file.write(m_pending) != m_pending.size()) {
        fail(errno != 0 ? qt_error_string(errno) : m_file.errorString());
        return false;
    }
    m_written += m_pending.size();
    m_pending.clear();
    return true;
}

bool TrafficJournal::rotate()
{
    m_file.close();
    QFile::remove(rotated(m_path, m_files - 1));
    for (int n = m_files - 1; n > 0; --n)
        QFile::rename(rotated(m_path, n - 1), rotated(m_path, n));
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        fail(m_file.errorString());
        return false;
    }
    m_written = 0;
    return true;
}

void TrafficJournal::fail(const QString &reason)
{
    // Said once: recording stops here, and the tool goes on without it.
    m_file.close();
    m_flushTimer.stop();
    m_pending.clear();
    emit failed(QDir::toNativeSeparators(m_path) + QStringLiteral(": ") + reason);
}

} // namespace kelm
