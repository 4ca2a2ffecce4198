#include "TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QThread>
#include <csignal>
#include <sys/resource.h>

namespace kelm::test {

ModalWatcher::ModalWatcher()
{
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::check);
    m_timer.start();
}

void ModalWatcher::check()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        messages << box->text();
        icons << box->icon();
        owners << (box->parentWidget() ? box->parentWidget()->window()->objectName() : QString());
        box->button(QMessageBox::Ok)->click();
        return;
    }
    if (dialogActions.empty() && modal != m_pending) {
        // A dialog the test did not ask for would wait for a click that never comes: close it
        // and fail the test with what it said.
        QString text = modal->windowTitle();
        for (const QLabel *label : modal->findChildren<QLabel *>())
            if (!label->text().isEmpty())
                text += QLatin1String(" | ") + label->text();
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
        QTest::qFail(qPrintable(QStringLiteral("unexpected modal dialog: ") + text), __FILE__,
                     __LINE__);
        return;
    }
    if (!dialogActions.empty() && modal != m_pending) {
        // Run the action from the event loop, so that this timer keeps firing for the message
        // boxes the action itself may bring up.
        auto action = std::move(dialogActions.front());
        dialogActions.erase(dialogActions.begin());
        m_pending = modal;
        // The dialog stays pending while its action runs: OK runs the status query, which
        // lets this timer fire again with the same dialog still in front.
        QTimer::singleShot(0, modal, [this, action, modal] {
            action(modal);
            m_pending = nullptr;
        });
    }
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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { read(); });
    m_process.start(program, {QStringLiteral("--pty"), link, QStringLiteral("--script")});
    waitFor([this] { return !device.isEmpty(); }, 10000);
}

void UnitProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(3000);
}

void UnitProcess::read()
{
    while (m_process.canReadLine()) {
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        const QString kind = line.section(QLatin1Char(' '), 0, 0);
        const QString rest = line.section(QLatin1Char(' '), 1);
        if (kind == QLatin1String("rx"))
            rx << rest;
        else if (kind == QLatin1String("tx"))
            tx << rest;
        else if (kind == QLatin1String("tx-failed"))
            txFailed << rest;
        else if (kind == QLatin1String("line"))
            device = rest.section(QLatin1Char(' '), 1);
    }
}

QByteArray RecordingSink::bytes(std::uint8_t direction) const
{
    QByteArray out;
    for (const auto &[d, v] : records)
        if (d == direction)
            out += static_cast<char>(v);
    return out;
}

FileSizeLimit::FileSizeLimit(long bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return;
    m_saved = limit.rlim_cur;
    m_restore = true;
    limit.rlim_cur = rlim_t(bytes);
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

bool writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(contents) == contents.size();
}

bool portLocked(const QString &device)
{
    const QString name = "LCK.." + QString(device).replace('/', '_');
    for (const char *dir : {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks",
                            "/var/spool/uucp", "/tmp", "/var/tmp", "/var/lock/lockdev"})
        if (QFile::exists(QDir(dir).filePath(name)))
            return true;
    return false;
}

bool waitFor(const std::function<bool()> &pred, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

} // namespace kelm::test
