#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <array>
#include <chrono>
#include <functional>
#include <optional>

namespace kelm {

struct LineSettings;

// A unit behind a serial device server is named "rfc2217://HOST:PORT" (Telnet with the
// COM-PORT-CONTROL option: this end sets the line) or "tcp://HOST:PORT" (raw bytes: the server
// sets the line).
bool isNetworkPort(const QString &device);

// The serial line at the far end of a TCP connection. It hands over exactly the bytes of the
// line: the Telnet framing of RFC 2217 (commands, option talk, the doubled 0xFF) stays in here.
// Like the serial port, every wait blocks on the socket without running the event loop.
class NetPort : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kConnectTimeout{3000};
    static constexpr std::chrono::milliseconds kAnswerTimeout{3000};

    explicit NetPort(QObject *parent = nullptr);
    ~NetPort() override;

    // Connects and, over RFC 2217, sets the line and checks what the server says it set; false
    // with the reason in errorString(): "server refused parity even".
    bool open(const QString &device, const LineSettings &line);
    // Sets the line again on an open port (a raw port leaves that to the server).
    bool setLine(const LineSettings &line);
    void close();
    bool isOpen() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QString errorString() const { return m_error; }

    qint64 bytesAvailable() const { return m_in.size(); }
    // Up to max line bytes (all of them for 0).
    QByteArray read(qint64 max);
    void write(const QByteArray &bytes);
    void clear() { m_in.clear(); }
    // Blocks for at most msecs until a line byte is waiting.
    void waitForReadyRead(int msecs);

signals:
    // New line bytes; from inside a wait too, like QSerialPort's.
    void readyRead();
    // The server closed or reset the connection.
    void lost(const QString &reason);

private:
    void onReadyRead();
    void onGone();
    void decode(const QByteArray &raw);
    void command(std::uint8_t verb, std::uint8_t option);
    void subnegotiation();
    void send(std::initializer_list<std::uint8_t> bytes);
    void say(std::uint8_t verb, std::uint8_t option);
    void setting(std::uint8_t command, quint32 value, int size);
    bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit);

    QTcpSocket m_socket;
    bool m_telnet = false;
    QByteArray m_in; // line bytes not yet read
    QString m_error;
    bool m_gone = false;

    enum class Rx
    {
        Data,
        Iac,
        Verb,
        Sb,
        SbIac
    } m_rx = Rx::Data;
    std::uint8_t m_verb = 0;
    QByteArray m_sb;
    // The option's answer from the server: DO (true) or DONT (false).
    std::optional<bool> m_comPort;
    bool m_binaryRefused = false;
    // The last value the server reported for each setting, by its SET command (1 to 5).
    std::array<std::optional<quint32>, 6> m_reported;
    // What this end already said of each option (bits of Said), so that no request is answered
    // twice and two ends cannot talk in a loop.
    std::array<std::uint8_t, 256> m_said{};
    bool m_opened = false;
};

} // namespace kelm
