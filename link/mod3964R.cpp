#include "link/mod3964R.h"

#include <algorithm>
#include <cmath>

namespace kelm {

namespace {
constexpr int kPollSliceMs = 20;
} // namespace

std::uint8_t blockCheck(const std::uint8_t *data, std::size_t length, bool coversStx)
{
    std::uint8_t bcc = 0;
    for (std::size_t i = 0; i < length; ++i)
        bcc ^= data[i];
    if (coversStx)
        bcc ^= ctl::STX;
    return bcc ^ ctl::DLE ^ ctl::ETX;
}

mod3964R::mod3964R(CommPort &port, TrafficSink &sink, LinkHost &host, Clock &clock)
    : m_port(port), m_sink(sink), m_host(host), m_clock(clock)
{
    EmpfangTelegramm.reserve(kMaxEmpfangLaenge + 1);
}

bool mod3964R::coversStx() const
{
    return m_port.tag() == QLatin1String("STX");
}

void mod3964R::clearTelegram()
{
    EmpfangLaenge = 0;
    EmpfangTelegramm.clear();
}

bool mod3964R::ZeichenLesen(std::uint8_t &Zeichen)
{
    const double start = m_clock.now();
    for (;;) {
        const double elapsed = m_clock.now() - start;
        if (elapsed > kByteTimeout) {
            LinkFehler = linkerr::Timeout;
            return false;
        }
        if (m_port.inBufferCount() < 1) {
            // Sleep on the port rather than spin; a byte wakes the wait at once.
            const int left = static_cast<int>(std::ceil((kByteTimeout - elapsed) * 1000.0)) + 1;
            m_port.waitForInput(std::clamp(left, 1, kPollSliceMs));
            continue;
        }
        m_port.setInputLen(1);
        const QByteArray bytes = m_port.input();
        if (bytes.isEmpty())
            continue; // the port went away between count and read
        Zeichen = static_cast<std::uint8_t>(bytes[0]);
        m_sink.V24MonWriteBuf(DirUnit, Zeichen);
        return true;
    }
}

void mod3964R::ZeichenSchreiben(std::uint8_t Zeichen)
{
    m_port.output(QByteArray(1, static_cast<char>(Zeichen)));
    m_sink.V24MonWriteBuf(DirPc, Zeichen);
}

bool mod3964R::receptionStalled() const
{
    return LinkStatus >= linkstatus::Data && LinkStatus <= linkstatus::BccDue &&
           m_clock.now() - EmpfangZeit > kByteTimeout;
}

bool mod3964R::waitForIdleLine(double start)
{
    for (;;) {
        m_host.pumpEvents();
        // A telegram whose unit fell silent for longer than the byte time-out is over; the
        // line need not stay blocked for the full line wait.
        if (receptionStalled())
            LinkStatus = linkstatus::Idle;
        if (m_clock.now() - start > kLineWait) {
            // A reception that never ends is broken off here.
            LinkStatus = linkstatus::Idle;
            return false;
        }
        if (LinkStatus == linkstatus::Idle)
            return true;
    }
}

mod3964R::Attempts mod3964R::giveWay(int &attempt)
{
    // The PC gives way: the serial event handler takes the unit's telegram, and this one goes
    // out again afterwards. The give-way costs an attempt, so a unit that keeps the line
    // cannot hold the sender forever.
    ZeichenSchreiben(ctl::DLE);
    LinkStatus = linkstatus::Data;
    clearTelegram();
    // The unit's data follow at once; a stale receive time would drop them.
    EmpfangZeit = m_clock.now();
    LinkFehler = linkerr::Nak;
    ++attempt;
    return Attempts::GaveWay;
}

mod3964R::Attempts mod3964R::runAttempts(int Laenge, const QByteArray &Text, int &attempt)
{
    std::uint8_t antwort = 0;
    while (attempt != kMaxAttempts) {
        std::uint8_t bcc = 0;
        std::uint8_t verworfen = 0;
        bool gelesen = false;
        while (m_port.inBufferCount() >= 1) {
            if (!ZeichenLesen(verworfen))
                break;
            gelesen = true;
        }
        // An STX left waiting is the unit starting a telegram just after the line wait looked:
        // dropping it would leave the unit waiting for a DLE while the PC sends.
        if (gelesen && verworfen == ctl::STX)
            return giveWay(attempt);
        ZeichenSchreiben(ctl::STX);
        if (!ZeichenLesen(antwort))
            return Attempts::Done;
        if (antwort == ctl::STX) {
            // The unit started a telegram of its own at the same moment.
            if (!ZeichenLesen(antwort))
                return Attempts::Done;
            if (antwort == ctl::NAK) {
                LinkFehler = linkerr::Nak;
                ++attempt;
                continue;
            }
            if (antwort != ctl::DLE)
                return giveWay(attempt);
        }
        for (int i = 0; i < Laenge; ++i) {
            const auto zeichen = static_cast<std::uint8_t>(Text[i]);
            ZeichenSchreiben(zeichen);
            bcc ^= zeichen;
        }
        if (coversStx())
            bcc ^= ctl::STX;
        ZeichenSchreiben(ctl::DLE);
        bcc ^= ctl::DLE;
        ZeichenSchreiben(ctl::ETX);
        ZeichenSchreiben(bcc ^ ctl::ETX);
        if (!ZeichenLesen(antwort))
            return Attempts::Done;
        if (antwort == ctl::DLE) {
            m_clock.sleep(kAcceptPause);
            LinkFehler = linkerr::Ok;
            return Attempts::Done;
        }
        if (antwort != ctl::NAK) {
            LinkFehler = linkerr::WrongReply;
            return Attempts::Done;
        }
        LinkFehler = linkerr::Nak;
        ++attempt;
    }
    // Every attempt was refused or given away; a nested send may have reset the code since.
    LinkFehler = linkerr::Nak;
    return Attempts::Done;
}

bool mod3964R::TelegrammSenden(int Laenge, const QByteArray &Text)
{
    double start = m_clock.now();
    if (m_host.demoMode())
        return true;
    Laenge = std::clamp(Laenge, 0, static_cast<int>(Text.size()));
    // Each send keeps its own count: another send may run nested inside this one's line wait
    // (an operator's click), and must neither use up nor reset this one's attempts.
    int attempt = 0;
    for (;;) {
        if (!waitForIdleLine(start)) {
            note(QStringLiteral("send failed, line busy"));
            return false;
        }
        m_port.setRThreshold(0);
        if (runAttempts(Laenge, Text, attempt) == Attempts::Done)
            break;
        m_port.setRThreshold(1);
        start = m_clock.now();
    }
    if (LinkFehler != linkerr::Ok) {
        note(QStringLiteral("send failed, error %1").arg(LinkFehler));
        m_host.showMessage(kSendError);
        m_port.setRThreshold(1);
        return false;
    }
    m_port.setRThreshold(1);
    return true;
}

bool mod3964R::TelegrammEmpfangen(int &Anzahl, std::span<std::uint8_t> Puffer)
{
    const std::size_t size = Puffer.size();
    for (std::size_t i = 0; i < 4 && i < size; ++i)
        Puffer[i] = 0;
    if (!m_port.portOpen()) {
        LinkFehler = linkerr::PortClosed;
        return false;
    }
    std::uint8_t z = 0;
    while (m_port.inBufferCount() > 1) {
        if (!ZeichenLesen(z))
            break;
    }
    auto refuse = [this] {
        ZeichenSchreiben(ctl::NAK);
        LinkFehler = linkerr::WrongReply;
        return false;
    };
    if (!ZeichenLesen(z))
        return false;
    if (z != ctl::STX)
        return refuse();
    ZeichenSchreiben(ctl::DLE);

    // A telegram longer than the caller's buffer is read to its end, so that its tail is not
    // taken for a new block, and then refused.
    bool overflow = false;
    auto put = [&](int index, std::uint8_t value) {
        if (index >= 0 && static_cast<std::size_t>(index) < size)
            Puffer[index] = value;
        else
            overflow = true;
    };
    if (!ZeichenLesen(z))
        return false;
    put(1, z);
    int laenge = 1;
    for (;;) {
        if (!ZeichenLesen(z))
            return false;
        if (z == ctl::DLE)
            break;
        put(laenge + 1, z);
        ++laenge;
        if (laenge >= kMaxEmpfangLaenge)
            return refuse();
    }
    if (!ZeichenLesen(z))
        return false;
    if (z != ctl::ETX)
        return refuse();
    if (!ZeichenLesen(z))
        return false;
    put(laenge + 1, z);
    if (overflow)
        return refuse();
    if (blockCheck(Puffer.data() + 1, static_cast<std::size_t>(laenge), coversStx()) != z)
        return refuse();
    ZeichenSchreiben(ctl::DLE);
    Anzahl = laenge;
    return true;
}

void mod3964R::MSComm1_OnComm()
{
    if (m_port.commEvent() != CommPort::EventReceive)
        return;
    m_port.setInputLen(1);
    while (m_port.inBufferCount() >= 1) {
        // A pause of more than the byte time-out anywhere inside a telegram drops it, after the
        // closing DLE too: otherwise a telegram cut off there would hold the line.
        if (receptionStalled())
            LinkStatus = linkstatus::Idle;

        if (LinkStatus == linkstatus::NotStarted)
            return;
        if (LinkStatus != linkstatus::Idle)
            EmpfangZeit = m_clock.now();
        const QByteArray bytes = m_port.input();
        if (bytes.isEmpty())
            return;
        const auto z = static_cast<std::uint8_t>(bytes[0]);
        m_sink.V24MonWriteBuf(DirUnit, z);

        switch (LinkStatus) {
        case linkstatus::Idle:
            if (z == ctl::STX) {
                ZeichenSchreiben(ctl::DLE);
                LinkStatus = linkstatus::Data;
                EmpfangZeit = m_clock.now();
            }
            clearTelegram();
            break;
        case linkstatus::Data:
            EmpfangTelegramm.append(static_cast<char>(z));
            ++EmpfangLaenge;
            if (EmpfangLaenge >= kMaxEmpfangLaenge) {
                ZeichenSchreiben(ctl::NAK);
                LinkStatus = linkstatus::Idle;
            }
            if (z == ctl::DLE)
                LinkStatus = linkstatus::DleSeen;
            break;
        case linkstatus::DleSeen:
            if (z == ctl::ETX) {
                LinkStatus = linkstatus::BccDue;
            } else {
                ZeichenSchreiben(ctl::NAK);
                LinkStatus = linkstatus::Idle;
            }
            break;
        case linkstatus::BccDue: {
            const int datenLaenge = std::max(0, EmpfangLaenge - 1);
            const std::uint8_t bcc =
                blockCheck(reinterpret_cast<const std::uint8_t *>(EmpfangTelegramm.constData()),
                           static_cast<std::size_t>(datenLaenge), coversStx());
            LinkStatus = linkstatus::Idle;
            if (bcc != z) {
                ZeichenSchreiben(ctl::NAK);
                break;
            }
            ZeichenSchreiben(ctl::DLE);
            const QByteArray telegramm = EmpfangTelegramm;
            if (telegramm.isEmpty())
                break;
            if (static_cast<std::uint8_t>(telegramm[0]) == 'l') {
                std::uint8_t quittung =
                    telegramm.size() > 1 ? static_cast<std::uint8_t>(telegramm[1]) : ctl::DLE;
                m_host.DisplayQuittung(quittung);
            } else {
                std::uint8_t taste = static_cast<std::uint8_t>(telegramm[0]);
                m_host.TasteSetzen(taste);
            }
            break;
        }
        default:
            LinkStatus = linkstatus::Idle;
            break;
        }
    }
}

} // namespace kelm
