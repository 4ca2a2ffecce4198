#pragma once

#include "link/CommPort.h"

#include <QObject>
#include <QSerialPort>
#include <QStringList>
#include <functional>
#include <memory>

namespace kelm {

class NetPort;

struct LineSettings
{
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::EvenParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Parses "9600,e,8,1" and the like; false for anything it cannot apply.
bool parseLineSettings(const QString &text, LineSettings *out);

// The device that stands for COM n (1 to 4): the one the settings file maps it to, else the
// n-th serial port the system enumerates, ordered by system location, or /dev/ttyS{n-1} when
// there are fewer.
QString defaultComDevice(int n);
// The same choice among the system locations `listed`, in any order, once the settings file has
// none.
QString comDeviceAmong(int n, QStringList listed);

// A failure's text for `device`; when the system refused access to it, followed by the remedy
// most Linux users need first: the device's group and how to join it.
QString withAccessRemedy(const QString &systemText, const QString &device, bool accessRefused);

// The serial port component of the main window, over QSerialPort; a device named
// "rfc2217://HOST:PORT" or "tcp://HOST:PORT" is a line behind a serial device server instead.
class MSComm : public QObject, public CommPort
{
    Q_OBJECT

public:
    using DeviceResolver = std::function<QString(int commPort)>;

    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    // Tests and the simulated unit's launcher map COM numbers to other devices here.
    void setDeviceResolver(DeviceResolver resolver);
    QString deviceFor(int commPort) const;

    int commPortNumber() const { return m_commPort; }
    void setCommPort(int n) { m_commPort = n; }
    QString settings() const { return m_settings; }
    void setSettings(const QString &settings);
    void setTag(const QString &tag) { m_tag = tag; }

    // Opens or closes the port; false with errorString() when opening fails, the system's text
    // preceded by the port and its device: "Com 1 (/dev/ttyUSB3): No such file or directory",
    // "Com 1 (rfc2217://lab-7:4001): server refused parity even".
    bool setPortOpen(bool open);
    QString errorString() const { return m_errorString; }
    // The system's own text of the last failure, without port and device.
    QString systemErrorString() const { return m_systemError; }
    QString systemLocation() const;
    // "Com 1 (/dev/ttyUSB0) 9600,e,8,1", with " STX" for the variant that covers STX.
    QString description() const;
    // The line settings last applied to the open port.
    LineSettings appliedSettings() const { return m_applied; }

    bool portOpen() const override;
    int inBufferCount() override;
    void setInputLen(int length) override { m_inputLen = length; }
    QByteArray input() override;
    void output(const QByteArray &bytes) override;
    void setRThreshold(int threshold) override;
    int rThreshold() const override { return m_rThreshold; }
    int commEvent() const override { return m_commEvent; }
    QString tag() const override { return m_tag; }
    void waitForInput(int msecs) override;
    // Bytes the procedures have written and read so far; a wait that sees it unchanged since
    // its last pass knows that it is only waiting.
    quint64 traffic() const { return m_traffic; }

signals:
    // The serial event; delivered through the event loop only.
    void OnComm();
    // The device went away under the open port (a USB adapter pulled out, say).
    void portLost(const QString &errorText);
    // The port was opened, or closed on purpose.
    void portOpened();
    void portClosed();

private:
    void onReadyRead();
    void deliverEvent();
    void scheduleEvent();
    void onError(QSerialPort::SerialPortError error);
    // Confirms a read error as the device gone, not an empty read; with the reason.
    bool deviceGone(QString *reason);
    // The port went away under the procedures; said once, through portLost.
    void reportLost(const QString &reason);
    bool applySettings();
    QString withPortName(const QString &text);
    bool openNetwork();
    void onNetLost(const QString &reason);

    QSerialPort m_port;
    // The network line while a network device is open, else null.
    std::unique_ptr<NetPort> m_net;
    DeviceResolver m_resolver;
    int m_commPort = 1;
    QString m_settings = QStringLiteral("9600,e,8,1");
    QString m_tag;
    QString m_errorString;
    QString m_openDevice;
    QString m_systemError;
    LineSettings m_applied;
    int m_inputLen = 1;
    int m_rThreshold = 1;
    int m_commEvent = 0;
    bool m_eventQueued = false;
    bool m_lost = false;
    quint64 m_traffic = 0;
};

} // namespace kelm
