#include "link/NetPort.h"
#include "link/MSComm.h"

#include <QDeadlineTimer>
#include <QUrl>

namespace kelm {

namespace {
// Telnet (RFC 854) and its COM-PORT-CONTROL option (RFC 2217).
namespace tn {
constexpr std::uint8_t SE = 240;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t IAC = 255;
constexpr std::uint8_t BINARY = 0;
constexpr std::uint8_t SGA = 3;
constexpr std::uint8_t COM_PORT = 44;
// Client to server; the server answers with the same number plus 100.
constexpr std::uint8_t SET_BAUDRATE = 1;
constexpr std::uint8_t SET_DATASIZE = 2;
constexpr std::uint8_t SET_PARITY = 3;
constexpr std::uint8_t SET_STOPSIZE = 4;
constexpr std::uint8_t SET_CONTROL = 5;
constexpr std::uint8_t SERVER_OFFSET = 100;
} // namespace tn

enum Said : std::uint8_t
{
    SaidWill = 1,
    SaidWont = 2,
    SaidDo = 4,
    SaidDont = 8
};

quint32 parityCode(QSerialPort::Parity p)
{
    switch (p) {
    case QSerialPort::NoParity:
        return 1;
    case QSerialPort::OddParity:
        return 2;
    case QSerialPort::EvenParity:
        return 3;
    case QSerialPort::MarkParity:
        return 4;
    case QSerialPort::SpaceParity:
        return 5;
    }
    return 1;
}

QString parityName(QSerialPort::Parity p)
{
    static const char *const names[] = {"none", "odd", "even", "mark", "space"};
    return QLatin1String(names[parityCode(p) - 1]);
}

quint32 stopCode(QSerialPort::StopBits s)
{
    return s == QSerialPort::TwoStop ? 2 : s == QSerialPort::OneAndHalfStop ? 3 : 1;
}

QString stopName(QSerialPort::StopBits s)
{
    return s == QSerialPort::TwoStop          ? QStringLiteral("2")
           : s == QSerialPort::OneAndHalfStop ? QStringLiteral("1.5")
                                              : QStringLiteral("1");
}

// The scheme tells the framing; anything but host and port is a mistake in the name.
bool parse(const QString &device, bool *telnet, QString *host, quint16 *port)
{
    const QUrl url(device, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("rfc2217") && scheme != QLatin1String("tcp")) ||
        url.host().isEmpty() || url.port() <= 0 || !url.path().isEmpty() || url.hasQuery() ||
        !url.userInfo().isEmpty())
        return false;
    *telnet = scheme == QLatin1String("rfc2217");
    *host = url.host();
    *port = static_cast<quint16>(url.port());
    return true;
}
} // namespace

bool isNetworkPort(const QString &device)
{
    return device.startsWith(QLatin1String("rfc2217://"), Qt::CaseInsensitive) ||
           device.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive);
}

NetPort::NetPort(QObject *parent) : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, &NetPort::onReadyRead);
    connect(&m_socket, &QTcpSocket::disconnected, this, &NetPort::onGone);
    // A wait that ran out reports a time-out error too; only a connection that ended is lost.
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::SocketTimeoutError)
            onGone();
    });
}

NetPort::~NetPort()
{
    close();
}

bool NetPort::open(const QString &device, const LineSettings &line)
{
    close();
    QString host;
    quint16 port = 0;
    if (!parse(device, &m_telnet, &host, &port)) {
        m_error = tr("not a network port; rfc2217://HOST:PORT or tcp://HOST:PORT expected");
        return false;
    }
    m_socket.connectToHost(host, port);
    if (!m_socket.waitForConnected(int(kConnectTimeout.count()))) {
        m_error = m_socket.error() == QAbstractSocket::SocketTimeoutError
                      ? tr("no connection within %1 s").arg(kConnectTimeout.count() / 1000)
                      : m_socket.errorString();
        m_socket.abort();
        return false;
    }
    // The link's handshake is single bytes: each must leave at once, not wait for company.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    if (m_telnet) {
        // The line carries every byte value: binary both ways, or a server in the Telnet
        // default would turn a CR into CR NUL.
        say(tn::WILL, tn::COM_PORT);
        say(tn::WILL, tn::BINARY);
        say(tn::DO, tn::BINARY);
        const bool answered =
            waitUntil([this] { return m_comPort.has_value() || m_binaryRefused; }, kAnswerTimeout);
        const bool ready = !m_binaryRefused && answered && *m_comPort && setLine(line);
        // A server that takes the option first may refuse binary after it; it answers in the
        // order asked, so by the settings' answers its word on binary has come.
        if (m_binaryRefused)
            m_error = tr("server refused binary transmission");
        else if (!answered)
            m_error = isOpen() ? tr("server did not answer the COM-PORT-CONTROL option")
                               : tr("connection closed by the server");
        else if (!*m_comPort)
            m_error = tr("server refused the COM-PORT-CONTROL option");
        if (!ready || m_binaryRefused) {
            m_socket.abort();
            return false;
        }
    }
    m_opened = true;
    m_error.clear();
    return true;
}

bool NetPort::setLine(const LineSettings &line)
{
    if (!m_telnet)
        return true;
    m_reported = {};
    struct Setting
    {
        std::uint8_t command;
        quint32 value;
        int size;
        QString text;
    };
    const Setting settings[] = {
        {tn::SET_BAUDRATE, quint32(line.baud), 4, tr("baud rate %1").arg(line.baud)},
        {tn::SET_DATASIZE, quint32(line.dataBits), 1, tr("data bits %1").arg(int(line.dataBits))},
        {tn::SET_PARITY, parityCode(line.parity), 1, tr("parity %1").arg(parityName(line.parity))},
        {tn::SET_STOPSIZE, stopCode(line.stopBits), 1,
         tr("stop bits %1").arg(stopName(line.stopBits))},
        {tn::SET_CONTROL, 1, 1, tr("flow control none")},
    };
    for (const Setting &s : settings)
        setting(s.command, s.value, s.size);
    waitUntil(
        [this] {
            return std::all_of(m_reported.begin() + 1, m_reported.end(),
                               [](const auto &v) { return v.has_value(); });
        },
        kAnswerTimeout);
    // The server's answer is the value it set; anything else is a line this end cannot use.
    for (const Setting &s : settings) {
        const auto &reported = m_reported[s.command];
        if (!reported) {
            m_error = isOpen() ? tr("server did not confirm %1").arg(s.text)
                               : tr("connection closed by the server");
            return false;
        }
        if (*reported != s.value) {
            m_error = tr("server refused %1").arg(s.text);
            return false;
        }
    }
    return true;
}

void NetPort::close()
{
    m_opened = false;
    m_socket.abort();
    m_in.clear();
    m_rx = Rx::Data;
    m_sb.clear();
    m_comPort.reset();
    m_binaryRefused = false;
    m_reported = {};
    m_said = {};
    m_gone = false;
}

QByteArray NetPort::read(qint64 max)
{
    const qint64 n = max > 0 ? std::min<qint64>(max, m_in.size()) : m_in.size();
    const QByteArray out = m_in.left(n);
    m_in.remove(0, n);
    return out;
}

void NetPort::write(const QByteArray &bytes)
{
    if (!isOpen())
        return;
    QByteArray out = bytes;
    // 0xFF is Telnet's IAC; as data it goes twice.
    if (m_telnet)
        out.replace(QByteArray(1, char(tn::IAC)), QByteArray(2, char(tn::IAC)));
    m_socket.write(out);
    m_socket.flush();
    if (m_socket.bytesToWrite() > 0)
        m_socket.waitForBytesWritten(100);
}

void NetPort::waitForReadyRead(int msecs)
{
    // A segment may hold nothing but Telnet talk: wait on until line bytes come or time is up.
    QDeadlineTimer deadline(std::max(msecs, 0));
    while (m_in.isEmpty() && isOpen()) {
        if (!m_socket.waitForReadyRead(int(deadline.remainingTime())))
            break;
    }
}

bool NetPort::waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    QDeadlineTimer deadline(limit);
    while (!done()) {
        if (!isOpen() || deadline.hasExpired())
            return false;
        m_socket.waitForReadyRead(int(deadline.remainingTime()));
    }
    return true;
}

void NetPort::onReadyRead()
{
    const qint64 before = m_in.size();
    const QByteArray raw = m_socket.readAll();
    if (m_telnet)
        decode(raw);
    else
        m_in += raw;
    if (m_in.size() > before)
        emit readyRead();
}

void NetPort::onGone()
{
    if (!m_opened || m_gone)
        return;
    m_gone = true;
    emit lost(m_socket.error() == QAbstractSocket::RemoteHostClosedError
                  ? tr("connection closed by the server")
                  : m_socket.errorString());
}

void NetPort::decode(const QByteArray &raw)
{
    for (const char c : raw) {
        const auto b = static_cast<std::uint8_t>(c);
        switch (m_rx) {
        case Rx::Data:
            if (b == tn::IAC)
                m_rx = Rx::Iac;
            else
                m_in += c;
            break;
        case Rx::Iac:
            if (b == tn::IAC) {
                m_in += c;
                m_rx = Rx::Data;
            } else if (b == tn::SB) {
                m_sb.clear();
                m_rx = Rx::Sb;
            } else if (b >= tn::WILL) {
                m_verb = b;
                m_rx = Rx::Verb;
            } else {
                m_rx = Rx::Data; // NOP, GA, BREAK and the like: nothing for the line
            }
            break;
        case Rx::Verb:
            command(m_verb, b);
            m_rx = Rx::Data;
            break;
        case Rx::Sb:
            if (b == tn::IAC)
                m_rx = Rx::SbIac;
            else if (m_sb.size() < 64) // a runaway subnegotiation must not eat the memory
                m_sb += c;
            break;
        case Rx::SbIac:
            if (b == tn::SE) {
                subnegotiation();
                m_rx = Rx::Data;
            } else {
                if (b == tn::IAC && m_sb.size() < 64)
                    m_sb += c;
                m_rx = Rx::Sb;
            }
            break;
        }
    }
}

void NetPort::command(std::uint8_t verb, std::uint8_t option)
{
    const bool wanted = option == tn::BINARY || option == tn::SGA || option == tn::COM_PORT;
    switch (verb) {
    case tn::DO:
        say(wanted ? tn::WILL : tn::WONT, option);
        if (option == tn::COM_PORT)
            m_comPort = true;
        break;
    case tn::DONT:
        if (option == tn::COM_PORT)
            m_comPort = false;
        if (option == tn::BINARY)
            m_binaryRefused = true;
        break;
    case tn::WILL:
        say(wanted && option != tn::COM_PORT ? tn::DO : tn::DONT, option);
        break;
    case tn::WONT:
        if (option == tn::BINARY)
            m_binaryRefused = true;
        break;
    }
}

void NetPort::subnegotiation()
{
    if (m_sb.size() < 3 || static_cast<std::uint8_t>(m_sb[0]) != tn::COM_PORT)
        return;
    const int command = static_cast<std::uint8_t>(m_sb[1]) - tn::SERVER_OFFSET;
    if (command < tn::SET_BAUDRATE || command > tn::SET_CONTROL)
        return; // line and modem state notices: nothing this end acts on
    quint32 value = 0;
    for (int i = 2; i < m_sb.size(); ++i)
        value = (value << 8) | static_cast<std::uint8_t>(m_sb[i]);
    m_reported[command] = value;
}

void NetPort::say(std::uint8_t verb, std::uint8_t option)
{
    const std::uint8_t bit = verb == tn::WILL   ? SaidWill
                             : verb == tn::WONT ? SaidWont
                             : verb == tn::DO   ? SaidDo
                                                : SaidDont;
    if (m_said[option] & bit)
        return;
    m_said[option] |= bit;
    send({tn::IAC, verb, option});
}

void NetPort::setting(std::uint8_t command, quint32 value, int size)
{
    QByteArray out;
    out += char(tn::IAC);
    out += char(tn::SB);
    out += char(tn::COM_PORT);
    out += char(command);
    for (int i = size - 1; i >= 0; --i) {
        const char b = char((value >> (8 * i)) & 0xFF);
        out += b;
        if (static_cast<std::uint8_t>(b) == tn::IAC)
            out += b;
    }
    out += char(tn::IAC);
    out += char(tn::SE);
    m_socket.write(out);
    m_socket.flush();
}

void NetPort::send(std::initializer_list<std::uint8_t> bytes)
{
    QByteArray out;
    for (std::uint8_t b : bytes)
        out += char(b);
    m_socket.write(out);
    m_socket.flush();
}

} // namespace kelm
