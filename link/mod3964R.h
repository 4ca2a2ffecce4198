#pragma once

#include "link/Clock.h"
#include "link/CommPort.h"
#include "link/LinkHost.h"
#include "link/TrafficSink.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <span>

namespace kelm {

namespace ctl {
constexpr std::uint8_t STX = 2;
constexpr std::uint8_t ETX = 3;
constexpr std::uint8_t DLE = 16;
constexpr std::uint8_t NAK = 21;
} // namespace ctl

namespace linkerr {
constexpr std::uint8_t Ok = 0;
constexpr std::uint8_t PortClosed = 131;
constexpr std::uint8_t Timeout = 132;
constexpr std::uint8_t WrongReply = 136;
constexpr std::uint8_t Nak = 137;
} // namespace linkerr

namespace linkstatus {
constexpr std::uint8_t NotStarted = 0;
constexpr std::uint8_t Idle = 1;
constexpr std::uint8_t Data = 2;
constexpr std::uint8_t DleSeen = 3;
constexpr std::uint8_t BccDue = 4;
} // namespace linkstatus

constexpr double kByteTimeout = 1.0;  // s, each handshake and data byte
constexpr double kLineWait = 5.0;     // s, for the idle line before a send
constexpr double kAcceptPause = 0.04; // s, after the unit accepted a telegram
constexpr int kMaxAttempts = 6;
constexpr int kMaxEmpfangLaenge = 299; // characters of one received telegram

// Shown exactly when a send fails with an error code of its own; a line kept busy fails
// without it and leaves the code of whatever came before.
inline const QString kSendError = QStringLiteral("Fehler beim Senden");

// XOR of the data, 2 for the "STX" variant, then DLE and ETX.
std::uint8_t blockCheck(const std::uint8_t *data, std::size_t length, bool coversStx);

// The 3964R procedure: sender, synchronous receiver and the byte-by-byte receiver behind the
// serial event. All of it runs on the one GUI thread.
class mod3964R
{
public:
    mod3964R(CommPort &port, TrafficSink &sink, LinkHost &host, Clock &clock = steadyClock());

    bool TelegrammSenden(int Laenge, const QByteArray &Text);
    bool ZeichenLesen(std::uint8_t &Zeichen);
    void ZeichenSchreiben(std::uint8_t Zeichen);
    // Fills Puffer[1..Anzahl] with the data and Puffer[Anzahl + 1] with the block check; Anzahl
    // is set only for a telegram taken. A telegram that would not fit into Puffer is refused
    // with NAK.
    bool TelegrammEmpfangen(int &Anzahl, std::span<std::uint8_t> Puffer);
    // The serial event handler.
    void MSComm1_OnComm();

    std::uint8_t LinkStatus = linkstatus::NotStarted;
    std::uint8_t LinkFehler = linkerr::Ok;
    QByteArray EmpfangTelegramm;
    int EmpfangLaenge = 0;
    double EmpfangZeit = 0;

    // An event for the records beside the bytes (a journal). Each is a turn a reader of the
    // record looks for, a failure above all: it reaches the disk now, not at the next flush.
    void note(const QString &event) { m_sink.note(event, true); }

private:
    enum class Attempts
    {
        Done,
        GaveWay
    };
    bool waitForIdleLine(double start);
    bool receptionStalled() const;
    Attempts runAttempts(int Laenge, const QByteArray &Text, int &attempt);
    Attempts giveWay(int &attempt);
    bool coversStx() const;
    void clearTelegram();

    CommPort &m_port;
    TrafficSink &m_sink;
    LinkHost &m_host;
    Clock &m_clock;
};

} // namespace kelm
