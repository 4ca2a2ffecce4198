#include "sim/UnitScript.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace kelm::sim {

namespace {
// The unit's clock for its event lines starts with the program.
const auto kStarted = std::chrono::steady_clock::now();

void printEvent(const char *kind, const Bytes &data)
{
    // Called from the unit's thread; one whole line per call, flushed at once for the reader.
    // The time is taken here, not where the line is read: a reader on a busy machine sees the
    // lines late, but the pace of the blocks on the line is the unit's to tell.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - kStarted);
    std::fputs(kind, stdout);
    std::fputc(' ', stdout);
    for (std::uint8_t b : data)
        std::fprintf(stdout, "%02X", b);
    std::fprintf(stdout, " %lld\n", static_cast<long long>(ms.count()));
    std::fflush(stdout);
}
} // namespace

UnitScript::UnitScript(SimUnit &unit, QObject *parent)
    : QObject(parent), m_unit(unit), m_notifier(STDIN_FILENO, QSocketNotifier::Read)
{
    connect(&m_notifier, &QSocketNotifier::activated, this, &UnitScript::readCommands);
}

void UnitScript::reportEvents(SimUnit &unit)
{
    SimUnit::Listener listener;
    listener.received = [](const Bytes &b) { printEvent("rx", b); };
    listener.sent = [](const Bytes &b) { printEvent("tx", b); };
    listener.failed = [](const Bytes &b) { printEvent("tx-failed", b); };
    unit.setListener(std::move(listener));
}

void UnitScript::readCommands()
{
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        // The script ended: so does the unit.
        m_notifier.setEnabled(false);
        QCoreApplication::quit();
        return;
    }
    m_pending.append(buf, n);
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_pending.left(end)).trimmed();
        m_pending.remove(0, end + 1);
        if (!line.isEmpty() && !execute(line))
            std::fprintf(stderr, "kelm-unit: unknown command \"%s\"\n", qPrintable(line));
    }
}

bool UnitScript::execute(const QString &line)
{
    const QStringList w = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    auto number = [&w](int i, int low, int high) {
        bool ok = false;
        const int v = i < w.size() ? w[i].toInt(&ok) : 0;
        return ok && v >= low && v <= high ? v : -1;
    };
    const QString command = w.value(0);
    if (command == QLatin1String("key") && number(1, 1, 12) > 0) {
        m_unit.pressKey(number(1, 1, 12) - 1);
    } else if (command == QLatin1String("release") && w.size() == 1) {
        m_unit.releaseKeys();
    } else if (command == QLatin1String("selector") && number(1, 1, 2) > 0 &&
               number(2, 1, 12) > 0) {
        m_unit.turnSelector(number(1, 1, 2), number(2, 1, 12));
    } else if (command == QLatin1String("report") && w.size() == 2) {
        const QByteArray bytes = QByteArray::fromHex(w[1].toLatin1());
        if (bytes.isEmpty())
            return false;
        m_unit.sendReport(Bytes(bytes.begin(), bytes.end()));
    } else if (command == QLatin1String("burst") && number(1, 1, 100000) > 0) {
        // Key reports back to back, as a bouncing key or a held selector might send them.
        for (int i = 0; i < number(1, 1, 100000); ++i)
            m_unit.pressKey(i % 12);
    } else if (command == QLatin1String("quit") && w.size() == 1) {
        QCoreApplication::quit();
    } else {
        return false;
    }
    return true;
}

} // namespace kelm::sim
