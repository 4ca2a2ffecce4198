#include "TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTcpServer>
#include <QTest>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <span>
#include <sys/resource.h>
#include <unistd.h>

namespace kelm::test {

namespace {
// A program that ends itself from inside a test function (the tool's way out of a wait) would
// look like a pass to CTest, the remaining tests never run: it fails instead.
const int kExitGuard = std::atexit([] {
    if (QTest::currentTestFunction()) {
        std::fprintf(stderr, "exit() called inside %s\n", QTest::currentTestFunction());
        std::_Exit(1);
    }
});
} // namespace

ModalWatcher::ModalWatcher()
{
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::check);
    m_timer.start(20);
}

void ModalWatcher::check()
{
    // A dialog pending is one whose action runs; it is never a message box.
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || modal == m_pending)
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        messages << box->text();
        icons << box->icon();
        owners << (box->parentWidget() ? box->parentWidget()->window()->objectName() : QString());
        box->button(QMessageBox::Ok)->click();
        return;
    }
    if (dialogActions.empty()) {
        // A dialog the test did not ask for would wait for a click that never comes: close it
        // and fail the test with what it said.
        QString text = QStringLiteral("unexpected modal dialog: ") + modal->windowTitle();
        for (const QLabel *label : modal->findChildren<QLabel *>())
            if (!label->text().isEmpty())
                text += QLatin1String(" | ") + label->text();
        modal->close(); // a dialog's close is its reject
        QTest::qFail(qPrintable(text), __FILE__, __LINE__);
        return;
    }
    // Run the action from the event loop, so that this timer keeps firing for the message
    // boxes the action itself may bring up.
    m_pending = modal;
    // The dialog stays pending while its action runs: OK runs the status query, which lets this
    // timer fire again with the same dialog still in front.
    QTimer::singleShot(0, modal, [this, action = std::move(dialogActions.front()), modal] {
        action(modal);
        m_pending = nullptr;
    });
    dialogActions.erase(dialogActions.begin());
}

UnitOnLine::UnitOnLine()
{
    if (pty.isValid()) {
        unit = std::make_unique<sim::SimUnit>(pty.master());
        unit->start();
    }
}

void UnitOnLine::wire(MSComm &port) const
{
    const QString path = device();
    port.setDeviceResolver(
        [path](int n) { return n == 1 ? path : QStringLiteral("/nonexistent/kelm-com%1").arg(n); });
}

LinkOnLine::LinkOnLine(TrafficSink &sink, LinkHost &host, bool stx) : link(port, sink, host)
{
    line.unit->setStxVariant(stx);
    line.wire(port);
    port.setTag(stx ? QStringLiteral("STX") : QString());
    opened = port.setPortOpen(true);
    link.LinkStatus = linkstatus::Idle;
    QObject::connect(&port, &MSComm::OnComm, [this] { link.MSComm1_OnComm(); });
}

UnitProcess::UnitProcess(const QString &program, const QString &link)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { read(); });
    // env hands its process on to the program: a kill reaches the unit itself.
    m_process.start("env", {"QT_QPA_PLATFORM=offscreen", program, "--pty", link, "--script"});
    (void)QTest::qWaitFor([this] { return !device.isEmpty(); }, 10000);
}

void UnitProcess::read()
{
    while (m_process.canReadLine()) {
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        const QString kind = line.section(' ', 0, 0), block = line.section(' ', 1, 1);
        if (kind == QLatin1String("rx")) {
            bool ok = false;
            const qint64 ms = line.section(' ', 2, 2).toLongLong(&ok);
            rx << block;
            rxMs << (ok ? ms : -1000000); // no pace check passes over a line without its time
        } else if (kind == QLatin1String("tx")) {
            tx << block;
        } else if (kind == QLatin1String("tx-failed")) {
            txFailed << block;
        } else if (kind == QLatin1String("line"))
            device = line.section(' ', 2);
    }
}

Ser2net::Ser2net(const QString &device, const QString &kind, const QString &line)
{
    // A free port from the system, handed over; another program may take it in between.
    for (int attempt = 0; attempt < 5 && url.isEmpty(); ++attempt) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        const quint16 port = probe.serverPort();
        probe.close();
        const QString config = m_dir.filePath(QStringLiteral("ser2net.yaml"));
        // As the README advises: each handshake byte goes on at once, not after two characters.
        if (!writeFile(config, QStringLiteral(
                                   "%YAML 1.1\n---\nconnection: &line\n  accepter: %1tcp(nodelay)"
                                   ",127.0.0.1,%2\n  connector: serialdev,%3,%4,local\n"
                                   "  options:\n    chardelay: false\n")
                                   .arg(kind == QLatin1String("rfc2217") ? "telnet(rfc2217)," : "")
                                   .arg(port)
                                   .arg(device, line)
                                   .toUtf8()))
            return;
        m_process.start("ser2net", {"-n", "-u", "-P", m_dir.filePath("pid"), "-c", config});
        // Listening, as the socket table says: a probe connection would make it open the line.
        const QString listening = QString::asprintf(": 0100007F:%04X 00000000:0000 0A ", port);
        if (QTest::qWaitFor([&] { return socketTable().contains(listening); }, 5000))
            url = QStringLiteral("%1://127.0.0.1:%2").arg(kind).arg(port);
        else
            stop();
    }
}

bool FullServer::fill()
{
    // Two waiting, as the socket table shows, past a backlog of one.
    server.setListenBacklogSize(1);
    if (!server.listen(QHostAddress::LocalHost))
        return false;
    server.pauseAccepting();
    for (QTcpSocket &client : queued)
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    const QString waiting =
        QString::asprintf("0100007F:%04X 00000000:0000 0A 00000000:00000002 ", server.serverPort());
    return QTest::qWaitFor([&] { return socketTable().contains(waiting); });
}

bool FullServer::tried() const
{
    return socketTable().contains(QString::asprintf("0100007F:%04X 02 ", server.serverPort()));
}

FileSizeLimit::FileSizeLimit(long bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    m_restore = ::getrlimit(RLIMIT_FSIZE, &limit) == 0;
    m_saved = std::exchange(limit.rlim_cur, rlim_t(bytes));
    if (m_restore)
        ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit()
{
    rlimit limit{};
    // The saved limit is most often RLIM_INFINITY, which no sentinel value may stand for.
    if (!m_restore || ::getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return;
    limit.rlim_cur = m_saved;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

namespace {

// Rectangles, lines and ellipses reach it as paths and polygons, as QPaintEngine hands them on.
class LogEngine : public QPaintEngine
{
public:
    explicit LogEngine(QStringList &lines) : QPaintEngine(AllFeatures), m_lines(lines) {}
    bool begin(QPaintDevice *) override { return true; }
    bool end() override { return true; }
    Type type() const override { return User; }

    void updateState(const QPaintEngineState &state) override
    {
        const QPen pen = state.pen();
        const QTransform t = state.transform();
        m_state =
            " | " +
            (pen.style() == Qt::NoPen
                 ? QStringLiteral("no pen")
                 : QString::asprintf("pen %s %.2f style %d cap %d",
                                     qPrintable(brushText(pen.brush())), pen.widthF(),
                                     int(pen.style()), int(pen.capStyle()))) +
            " | brush " + brushText(state.brush()) +
            (t.isIdentity() ? QString()
                            : QString::asprintf(" transform %.2f %.2f %.2f %.2f %.2f %.2f", t.m11(),
                                                t.m12(), t.m21(), t.m22(), t.dx(), t.dy())) +
            (state.renderHints().testFlag(QPainter::Antialiasing) ? " smooth" : "");
    }
    void drawPath(const QPainterPath &path) override
    {
        QString text = QStringLiteral("path");
        for (int i = 0; i < path.elementCount(); ++i)
            text += ' ' + point(path.elementAt(i));
        add(text);
    }
    void drawPolygon(const QPointF *points, int count, PolygonDrawMode mode) override
    {
        QString text = QStringLiteral("polygon %1").arg(int(mode));
        for (const QPointF &p : std::span(points, count))
            text += ' ' + point(p);
        add(text);
    }
    void drawPixmap(const QRectF &r, const QPixmap &, const QRectF &) override
    {
        add("pixmap " + point(r.topLeft()) + ' ' + point(r.bottomRight()));
    }
    // Where a text lands depends on the font; where the same text lands again, beside itself (a
    // shadow), does not.
    void drawTextItem(const QPointF &at, const QTextItem &item) override
    {
        const QString again = item.text() == m_lastText ? " moved " + point(at - m_lastAt) : "";
        m_lastText = item.text();
        m_lastAt = at;
        // A family only where one other than the desktop's is asked for: which face stands for a
        // name differs from machine to machine, the name does not.
        const QFont &f = item.font();
        const QString family =
            f.family() != QGuiApplication::font().family() ? ' ' + f.family() : "";
        add(QString::asprintf("text \"%s\" %dpx%s bold %d", qPrintable(item.text()), f.pixelSize(),
                              qPrintable(family), int(f.bold())) +
            again);
    }

private:
    static QString point(QPointF p) { return QString::asprintf("%.2f,%.2f", p.x(), p.y()); }
    static QString brushText(const QBrush &b)
    {
        if (b.style() == Qt::NoBrush)
            return QStringLiteral("none");
        const QGradient *g = b.gradient();
        if (!g)
            return b.color().name(QColor::HexArgb);
        QString text;
        if (g->type() == QGradient::LinearGradient) {
            const auto *l = static_cast<const QLinearGradient *>(g);
            text = "linear " + point(l->start()) + ' ' + point(l->finalStop());
        } else if (g->type() == QGradient::RadialGradient) {
            const auto *r = static_cast<const QRadialGradient *>(g);
            text = QString::asprintf("radial %s %.2f %s", qPrintable(point(r->center())),
                                     r->radius(), qPrintable(point(r->focalPoint())));
        }
        for (const QGradientStop &stop : g->stops())
            text += QString::asprintf(" %.2f:", stop.first) + stop.second.name(QColor::HexArgb);
        return text;
    }
    void add(const QString &what) { m_lines << what + m_state; }
    QStringList &m_lines;
    QString m_state, m_lastText;
    QPointF m_lastAt;
};

} // namespace

// Its metrics are those of a 96-dpi image of its size.
PaintLog::PaintLog(int width, int height)
    : QImage(width, height, QImage::Format_ARGB32_Premultiplied),
      m_engine(std::make_unique<LogEngine>(lines))
{
    setDotsPerMeterX(3780);
    setDotsPerMeterY(3780);
}

PaintLog::~PaintLog() = default;

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray readAvailable(int fd, int ms, int count)
{
    QByteArray out;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    // A pause for what the terminal has yet to pass on from its buffers.
    for (ssize_t n;
         out.size() < count && ::poll(&p, 1, ms) > 0 && (n = ::read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, int(n));
    return out;
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(contents) == contents.size();
}

QString socketTable()
{
    return QString::fromLatin1(readFile(QStringLiteral("/proc/net/tcp")));
}

qint64 portLockHolder(const QString &device)
{
    // Named as the serial port library names it: without "/dev/", slashes made underscores.
    const QString name = "LCK.." + device.mid(device.startsWith("/dev/") ? 5 : 0).replace('/', '_');
    for (const char *dir : {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks",
                            "/var/spool/uucp", "/tmp", "/var/tmp", "/var/lock/lockdev"})
        if (const QByteArray lock = readFile(QDir(dir).filePath(name)); !lock.isEmpty())
            return lock.split('\n').front().toLongLong(); // the holder's process id comes first
    return 0;
}

} // namespace kelm::test
