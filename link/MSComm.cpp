#include "link/MSComm.h"
#include "link/NetPort.h"
#include "link/Settings.h"

#include <QFile>

#include <QSerialPortInfo>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kelm {

bool parseLineSettings(const QString &text, LineSettings *out)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    bool ok = false;
    LineSettings s;
    s.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0)
        return false;
    const QString parity = parts[1].trimmed().toLower();
    if (parity == QLatin1String("e"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("o"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("n"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("m"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("s"))
        s.parity = QSerialPort::SpaceParity;
    else
        return false;
    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return false;
    s.dataBits = static_cast<QSerialPort::DataBits>(bits);
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        return false;
    *out = s;
    return true;
}

QString defaultComDevice(int n)
{
    // Adapters are often not among the first ports the system lists: the settings file wins.
    const QString mapped = mappedComDevice(n);
    if (!mapped.isEmpty())
        return mapped;
    QStringList listed;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        listed << port.systemLocation();
    return comDeviceAmong(n, std::move(listed));
}

QString comDeviceAmong(int n, QStringList listed)
{
    listed.sort();
    if (n >= 1 && n <= listed.size())
        return listed[n - 1];
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
}

MSComm::MSComm(QObject *parent) : QObject(parent), m_resolver(defaultComDevice)
{
    // readyRead is also emitted from inside waitForReadyRead, that is from inside a poll of the
    // link. The serial event must not run there, so it is only ever posted.
    connect(&m_port, &QSerialPort::readyRead, this, &MSComm::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &MSComm::onError);
}

MSComm::~MSComm()
{
    if (m_port.isOpen())
        m_port.close();
}

void MSComm::setDeviceResolver(DeviceResolver resolver)
{
    m_resolver = resolver ? std::move(resolver) : DeviceResolver(defaultComDevice);
}

QString MSComm::deviceFor(int commPort) const
{
    return m_resolver(commPort);
}

void MSComm::setSettings(const QString &settings)
{
    m_settings = settings;
    if (m_port.isOpen() || (m_net && m_net->isOpen()))
        applySettings();
}

QString withAccessRemedy(const QString &systemText, const QString &device, bool accessRefused)
{
    struct stat st
    {
    };
    // Joining root's group is no advice to give.
    if (!accessRefused || ::stat(QFile::encodeName(device).constData(), &st) != 0 || st.st_gid == 0)
        return systemText;
    const group *g = ::getgrgid(st.st_gid);
    const QString name =
        g ? QString::fromLocal8Bit(g->gr_name) : QString::number(static_cast<uint>(st.st_gid));
    return systemText + QStringLiteral(" \u2014 add your user to the group \"%1\" (sudo adduser "
                                       "$USER %1) and log in again")
                            .arg(name);
}

QString MSComm::systemLocation() const
{
    return deviceFor(m_commPort);
}

namespace {
// Linux pseudo-terminals keep their character size and parity whatever is asked of them, so
// QSerialPort's check of the parity fails there. Only on them is that tolerated.
bool isPseudoTerminal(const QString &path)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned int m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}
} // namespace

bool MSComm::applySettings()
{
    LineSettings s;
    if (!parseLineSettings(m_settings, &s)) {
        m_errorString = tr("Ungültige Einstellung \"%1\"").arg(m_settings);
        return false;
    }
    if (m_net) {
        if (!m_net->setLine(s)) {
            m_errorString = m_net->errorString();
            return false;
        }
        m_applied = s;
        return true;
    }
    bool ok = m_port.setBaudRate(s.baud) && m_port.setDataBits(s.dataBits) &&
              m_port.setStopBits(s.stopBits) && m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (ok && !m_port.setParity(s.parity))
        ok = isPseudoTerminal(systemLocation());
    if (!ok)
        m_errorString = m_port.errorString();
    else
        m_applied = s;
    return ok;
}

bool MSComm::setPortOpen(bool open)
{
    // A port whose device went away is finished with here, before its queued close runs.
    if (m_lost && m_port.isOpen())
        m_port.close();
    if (m_lost)
        m_net.reset();
    m_lost = false;
    if (!open) {
        if (m_port.isOpen() || m_net) {
            m_port.close();
            m_net.reset();
            emit portClosed();
        }
        return true;
    }
    if (m_port.isOpen() || m_net)
        return true;
    m_openDevice = systemLocation();
    if (isNetworkPort(m_openDevice))
        return openNetwork();
    m_port.setPortName(m_openDevice);
    if (!m_port.open(QIODevice::ReadWrite)) {
        m_errorString = withPortName(m_port.errorString());
        return false;
    }
    if (!applySettings()) {
        m_errorString = withPortName(m_errorString);
        m_port.close();
        return false;
    }
    m_errorString.clear();
    m_port.clear(QSerialPort::AllDirections);
    emit portOpened();
    return true;
}

bool MSComm::openNetwork()
{
    LineSettings s;
    if (!parseLineSettings(m_settings, &s)) {
        m_errorString = withPortName(tr("Ungültige Einstellung \"%1\"").arg(m_settings));
        return false;
    }
    auto net = std::make_unique<NetPort>();
    if (!net->open(m_openDevice, s)) {
        m_errorString = withPortName(net->errorString());
        return false;
    }
    // As on a local line, what came before the port was opened is not for the procedures.
    net->clear();
    connect(net.get(), &NetPort::readyRead, this, &MSComm::onReadyRead);
    connect(net.get(), &NetPort::lost, this, &MSComm::onNetLost);
    m_net = std::move(net);
    m_applied = s;
    m_errorString.clear();
    emit portOpened();
    return true;
}

void MSComm::onNetLost(const QString &reason)
{
    if (m_lost || !m_net)
        return;
    // As for a device that went away.
    reportLost(reason);
}

void MSComm::reportLost(const QString &reason)
{
    // Closing inside the port's own signal is not safe, and this may run inside a wait of the
    // link: the port counts as closed at once and is closed for good from the event loop.
    m_lost = true;
    m_errorString = withPortName(reason);
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_lost)
                return;
            const QString text = m_errorString;
            if (m_net)
                m_net.reset();
            else
                m_port.close();
            emit portLost(text);
        },
        Qt::QueuedConnection);
}

QString MSComm::description() const
{
    QString text =
        QStringLiteral("Com %1 (%2) %3").arg(m_commPort).arg(systemLocation(), m_settings);
    if (m_tag == QLatin1String("STX"))
        text += QStringLiteral(" STX");
    return text;
}

QString MSComm::withPortName(const QString &text)
{
    // Asked of the device itself: the port's error code says "permission" for a lock held by
    // another program too, where joining a group would not help.
    const bool refused =
        ::access(QFile::encodeName(m_openDevice).constData(), R_OK | W_OK) != 0 && errno == EACCES;
    m_systemError = withAccessRemedy(text, m_openDevice, refused);
    // The system's text alone does not say which of several adapters it is about.
    return QStringLiteral("Com %1 (%2): %3").arg(m_commPort).arg(m_openDevice, m_systemError);
}

bool MSComm::portOpen() const
{
    if (m_net)
        return m_net->isOpen() && !m_lost;
    return m_port.isOpen() && !m_lost;
}

int MSComm::inBufferCount()
{
    if (!portOpen())
        return 0;
    if (m_net) {
        if (m_net->bytesAvailable() == 0)
            m_net->waitForReadyRead(0);
        return static_cast<int>(std::min<qint64>(m_net->bytesAvailable(), 32767));
    }
    if (m_port.bytesAvailable() == 0)
        m_port.waitForReadyRead(0);
    return static_cast<int>(std::min<qint64>(m_port.bytesAvailable(), 32767));
}

QByteArray MSComm::input()
{
    if (!portOpen())
        return {};
    if (m_net) {
        if (m_net->bytesAvailable() == 0)
            m_net->waitForReadyRead(0);
        const QByteArray bytes = m_net->read(m_inputLen);
        m_traffic += quint64(bytes.size());
        return bytes;
    }
    if (m_port.bytesAvailable() == 0)
        m_port.waitForReadyRead(0);
    const QByteArray bytes = m_inputLen > 0 ? m_port.read(m_inputLen) : m_port.readAll();
    m_traffic += quint64(bytes.size());
    return bytes;
}

void MSComm::output(const QByteArray &bytes)
{
    if (!portOpen() || bytes.isEmpty())
        return;
    m_traffic += quint64(bytes.size());
    if (m_net) {
        m_net->write(bytes);
        return;
    }
    m_port.write(bytes);
    // The procedures do not run the event loop between bytes, so push the byte out now.
    m_port.flush();
    if (m_port.bytesToWrite() > 0)
        m_port.waitForBytesWritten(100);
}

void MSComm::setRThreshold(int threshold)
{
    m_rThreshold = threshold;
    // A report that arrived during a send would otherwise lie unread until the next byte.
    if (threshold > 0 && inBufferCount() > 0)
        scheduleEvent();
}

void MSComm::waitForInput(int msecs)
{
    if (!portOpen())
        QThread::msleep(static_cast<unsigned long>(std::max(msecs, 0)));
    else if (m_net)
        m_net->waitForReadyRead(msecs);
    else if (m_port.bytesAvailable() == 0)
        m_port.waitForReadyRead(msecs);
}

void MSComm::onReadyRead()
{
    if (m_rThreshold > 0)
        scheduleEvent();
}

void MSComm::scheduleEvent()
{
    if (m_eventQueued)
        return;
    m_eventQueued = true;
    QMetaObject::invokeMethod(this, &MSComm::deliverEvent, Qt::QueuedConnection);
}

void MSComm::deliverEvent()
{
    m_eventQueued = false;
    if (m_rThreshold <= 0 || !portOpen() ||
        (m_net ? m_net->bytesAvailable() : m_port.bytesAvailable()) == 0)
        return;
    m_commEvent = EventReceive;
    emit OnComm();
}

bool MSComm::deviceGone(QString *reason)
{
    // The kernel hangs up a terminal whose device went away (a USB adapter pulled out) or whose
    // pseudo-terminal master closed; a device node that is gone says the same. The port's own
    // error text is no help here: it carries whatever errno an earlier call left.
    pollfd p{m_port.handle(), POLLIN, 0};
    int ready = 0;
    // A signal that lands here (SIGCHLD, a terminal resize) says nothing about the device.
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        *reason = tr("Device disappeared from the system");
        return true;
    }
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(m_openDevice).constData(), &st) != 0) {
        *reason = qt_error_string(errno);
        return true;
    }
    return false;
}

void MSComm::onError(QSerialPort::SerialPortError error)
{
    if ((error != QSerialPort::ResourceError && error != QSerialPort::ReadError) || m_lost ||
        !m_port.isOpen())
        return;
    QString reason;
    if (!deviceGone(&reason)) {
        // The port's read notifier found its bytes already taken by a poll of the link: the read
        // came back empty, and the error carries whatever errno was left. That is no data. The
        // notifier may have been switched off for it, and setting the buffer size starts it again.
        m_port.clearError();
        m_port.setReadBufferSize(m_port.readBufferSize());
        return;
    }
    reportLost(reason);
}

} // namespace kelm
