#include "sim/SimUnit.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>

namespace kelm::sim {

namespace {
constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;
constexpr std::uint8_t DLE = 0x10;
constexpr std::uint8_t NAK = 0x15;
constexpr int kByteWaitMs = 2000; // the unit is more patient than the tool
constexpr int kAttempts = 6;
constexpr std::size_t kMaxBlock = 512; // a block longer than this is noise
} // namespace

SimUnit::SimUnit(int fd) : m_fd(fd) {}

SimUnit::~SimUnit()
{
    stop();
}

void SimUnit::start()
{
    if (m_thread.joinable())
        return;
    m_stop = false;
    m_thread = std::thread([this] { run(); });
}

void SimUnit::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void SimUnit::setStxVariant(bool coversStx)
{
    std::lock_guard lock(m_mutex);
    m_coversStx = coversStx;
}

void SimUnit::setStatusReply(Bytes reply)
{
    std::lock_guard lock(m_mutex);
    m_statusReply = std::move(reply);
}

void SimUnit::setAckDigit(std::uint8_t digit)
{
    std::lock_guard lock(m_mutex);
    m_ackDigit = digit;
}

void SimUnit::setAckDelayMs(int ms)
{
    std::lock_guard lock(m_mutex);
    m_ackDelayMs = ms;
}

void SimUnit::sendReport(Bytes data)
{
    std::lock_guard lock(m_mutex);
    m_outbox.push_back(std::move(data));
}

void SimUnit::pressKey(int key)
{
    sendReport({static_cast<std::uint8_t>(0x31 + key)});
}
void SimUnit::releaseKeys()
{
    sendReport({0x30});
}
void SimUnit::turnSelector(int selector, int position)
{
    sendReport({static_cast<std::uint8_t>((selector == 1 ? 0x40 : 0x50) + position)});
}

void SimUnit::nakNextBlocks(int n)
{
    std::lock_guard lock(m_mutex);
    m_nakBlocks = n;
}

void SimUnit::nakFromBlock(int accepted)
{
    std::lock_guard lock(m_mutex);
    m_nakFrom = accepted;
}

void SimUnit::nakNextStx(int n)
{
    std::lock_guard lock(m_mutex);
    m_nakStx = n;
}

void SimUnit::replyToNextBlock(std::uint8_t byte)
{
    std::lock_guard lock(m_mutex);
    m_blockReply = byte;
}

void SimUnit::corruptNextBcc(int n)
{
    std::lock_guard lock(m_mutex);
    m_corruptBcc = n;
}

void SimUnit::setSilent(bool silent)
{
    std::lock_guard lock(m_mutex);
    m_silent = silent;
}

void SimUnit::setLateMs(int ms)
{
    std::lock_guard lock(m_mutex);
    m_lateMs = ms;
}

void SimUnit::conflictOnNextStx(Bytes data, bool insist)
{
    std::lock_guard lock(m_mutex);
    m_conflictArmed = true;
    m_conflictInsist = insist;
    m_conflictData = std::move(data);
}

void SimUnit::injectNoise(Bytes noise)
{
    std::lock_guard lock(m_mutex);
    m_noise.insert(m_noise.end(), noise.begin(), noise.end());
}

void SimUnit::cutOffNextTelegram()
{
    std::lock_guard lock(m_mutex);
    m_cutOff = true;
}

std::array<Led, 12> SimUnit::leds() const
{
    std::lock_guard lock(m_mutex);
    return m_model.leds;
}

std::array<std::array<Cell, SimUnit::kColumns>, SimUnit::kLines> SimUnit::cells() const
{
    std::lock_guard lock(m_mutex);
    return m_model.cells;
}

std::string SimUnit::lineText(int line) const
{
    std::lock_guard lock(m_mutex);
    return m_model.lineText(line);
}

UnitModel SimUnit::model() const
{
    std::lock_guard lock(m_mutex);
    return m_model;
}

std::vector<std::string> SimUnit::takeLog()
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> out;
    out.swap(m_log);
    return out;
}

void SimUnit::log(std::string entry)
{
    std::lock_guard lock(m_mutex);
    if (m_log.size() < 1000) // nobody reads it in the tests; keep it bounded
        m_log.push_back(std::move(entry));
}

std::vector<Bytes> SimUnit::receivedTelegrams() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

std::vector<Bytes> SimUnit::sentTelegrams() const
{
    std::lock_guard lock(m_mutex);
    return m_sent;
}

Bytes SimUnit::bytesToTool() const
{
    std::lock_guard lock(m_mutex);
    return m_toTool;
}

Bytes SimUnit::bytesFromTool() const
{
    std::lock_guard lock(m_mutex);
    return m_fromTool;
}

int SimUnit::failedSends() const
{
    std::lock_guard lock(m_mutex);
    return m_failedSends;
}

void SimUnit::clearLogs()
{
    std::lock_guard lock(m_mutex);
    m_received.clear();
    m_sent.clear();
    m_fromTool.clear();
    m_toTool.clear();
    m_failedSends = 0;
}

bool SimUnit::idle() const
{
    std::lock_guard lock(m_mutex);
    return !m_busy && m_outbox.empty() && m_noise.empty();
}

bool SimUnit::readByte(std::uint8_t &byte, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_stop) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return false;
        // Rounded up, so that the last fraction of a millisecond is slept, not spun.
        const long long pollMs = std::min<long long>((left + 999) / 1000, 50);
        pollfd p{m_fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(pollMs));
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        if (p.revents & (POLLERR | POLLNVAL))
            return false;
        const ssize_t n = ::read(m_fd, &byte, 1);
        if (n == 1) {
            std::lock_guard lock(m_mutex);
            m_fromTool.push_back(byte);
            return true;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            // The tool's side is closed: nothing to read until it opens again.
            pauseMs(10);
        }
    }
    return false;
}

void SimUnit::writeBytes(const Bytes &bytes)
{
    {
        std::lock_guard lock(m_mutex);
        m_toTool.insert(m_toTool.end(), bytes.begin(), bytes.end());
    }
    const int pacing = m_byteTimeUs;
    std::size_t done = 0;
    while (done < bytes.size()) {
        // A real line hands the bytes over one at a time; a pseudo-terminal would hand over the
        // whole block at once unless told otherwise.
        if (pacing > 0 && done > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(pacing));
        const std::size_t chunk = pacing > 0 ? 1 : bytes.size() - done;
        const ssize_t n = ::write(m_fd, bytes.data() + done, chunk);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void SimUnit::pauseMs(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!m_stop && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 5)));
}

std::uint8_t SimUnit::bcc(const Bytes &data) const
{
    std::uint8_t check = m_coversStx ? STX : 0;
    for (std::uint8_t b : data)
        check ^= b;
    return check ^ DLE ^ ETX;
}

void SimUnit::run()
{
    while (!m_stop) {
        Bytes noise;
        {
            std::lock_guard lock(m_mutex);
            noise.swap(m_noise);
            m_busy = !noise.empty(); // not idle until the noise is on the line
        }
        if (!noise.empty()) {
            writeBytes(noise);
            m_busy = false;
        }

        std::uint8_t b = 0;
        if (readByte(b, 5)) {
            if (b == STX) {
                m_busy = true;
                onToolStx();
                m_busy = false;
            }
            continue; // anything else on an idle line is ignored
        }
        Bytes next;
        {
            std::lock_guard lock(m_mutex);
            if (!m_outbox.empty()) {
                next = std::move(m_outbox.front());
                m_outbox.pop_front();
                m_busy = true;
            }
        }
        if (!next.empty()) {
            sendTelegram(next);
            m_busy = false;
        }
    }
}

void SimUnit::onToolStx()
{
    bool silent, conflict, insist, nak = false;
    int late;
    Bytes conflictData;
    {
        std::lock_guard lock(m_mutex);
        if (m_nakStx > 0) {
            --m_nakStx;
            nak = true;
        }
        silent = m_silent;
        late = m_lateMs;
        conflict = m_conflictArmed;
        insist = m_conflictInsist;
        conflictData = m_conflictData;
        m_conflictArmed = false;
    }
    if (silent)
        return;
    if (conflict) {
        writeByte(STX); // the unit's own STX, crossing the tool's
        pauseMs(20);
        if (insist) {
            writeByte(STX); // the unit keeps the line: the tool has to give way
            sendTelegram(conflictData, true);
            return;
        }
        writeByte(DLE); // the unit gives way and sends afterwards
        receiveBlock();
        std::lock_guard lock(m_mutex);
        m_outbox.push_front(conflictData);
        return;
    }
    pauseMs(late);
    writeByte(nak ? NAK : DLE);
    receiveBlock();
}

void SimUnit::receiveBlock()
{
    Bytes data;
    std::uint8_t b = 0;
    for (;;) {
        if (!readByte(b, kByteWaitMs))
            return; // cut off: the block is dropped
        if (b == DLE)
            break;
        data.push_back(b);
        if (data.size() > kMaxBlock)
            return;
    }
    if (!readByte(b, kByteWaitMs))
        return;
    if (b != ETX) {
        writeByte(NAK);
        return;
    }
    if (!readByte(b, kByteWaitMs))
        return;
    bool accept;
    int late;
    int reply;
    {
        std::lock_guard lock(m_mutex);
        reply = m_blockReply;
        m_blockReply = -1;
        accept = b == bcc(data);
        if (m_nakBlocks > 0) {
            --m_nakBlocks;
            accept = false;
        }
        if (m_nakFrom >= 0 && m_received.size() >= std::size_t(m_nakFrom))
            accept = false;
        late = m_lateMs;
    }
    pauseMs(late);
    if (reply >= 0) {
        writeByte(static_cast<std::uint8_t>(reply));
        return;
    }
    if (!accept) {
        writeByte(NAK);
        return;
    }
    {
        // Recorded before the acknowledgement goes out: once the tool holds its DLE, whoever
        // asks the unit finds the block and its effect.
        std::lock_guard lock(m_mutex);
        m_received.push_back(data);
        if (!data.empty() && data[0] != 0x23)
            m_model.apply(data);
    }
    writeByte(DLE);
    if (m_listener.received)
        m_listener.received(data);
    handleTelegram(data);
}

void SimUnit::handleTelegram(const Bytes &data)
{
    if (data.empty())
        return;
    log("<- " + describeTelegram(data, false));
    if (data[0] == 0x23) {
        Bytes reply;
        {
            std::lock_guard lock(m_mutex);
            reply = m_statusReply;
        }
        if (!reply.empty()) // an empty reply stands for a unit that never answers the query
            sendTelegram(reply);
        return;
    }
    Bytes ack;
    int delay = 0;
    {
        std::lock_guard lock(m_mutex);
        if (data[0] != 0x6C)
            return;
        ack = {0x6C, m_ackDigit};
        delay = m_ackDelayMs;
    }
    pauseMs(delay);
    sendTelegram(ack);
}

bool SimUnit::sendTelegram(const Bytes &data, bool stxSent)
{
    for (int attempt = 0; attempt < kAttempts && !m_stop; ++attempt) {
        if (!(stxSent && attempt == 0))
            writeByte(STX);
        bool go = false;
        bool servedTool = false;
        int crossings = 0;
        std::uint8_t b = 0;
        const auto sentAt = std::chrono::steady_clock::now();
        while (readByte(b, kByteWaitMs)) {
            if (b == DLE) {
                go = true;
                break;
            }
            if (b == NAK)
                break;
            if (b != STX)
                continue;
            if (std::chrono::steady_clock::now() - sentAt > std::chrono::milliseconds(20)) {
                // Too late for a crossing: the tool cannot have seen this STX (it was not
                // listening yet). Serve the tool first, then start again.
                writeByte(DLE);
                receiveBlock();
                servedTool = true;
                break;
            }
            if (++crossings <= 3)
                writeByte(STX); // both started at once: the unit keeps the line
        }
        if (servedTool) {
            stxSent = false;
            continue;
        }
        if (!go)
            continue;
        bool cut;
        std::uint8_t check;
        {
            std::lock_guard lock(m_mutex);
            cut = m_cutOff;
            m_cutOff = false;
            check = bcc(data);
            if (m_corruptBcc > 0) {
                --m_corruptBcc;
                check ^= 0x5A;
            }
        }
        Bytes block = data;
        block.push_back(DLE);
        if (cut) {
            writeBytes(block);
            {
                std::lock_guard lock(m_mutex);
                ++m_failedSends;
            }
            if (m_listener.failed)
                m_listener.failed(data);
            return false;
        }
        block.push_back(ETX);
        block.push_back(check);
        writeBytes(block);
        if (!readByte(b, kByteWaitMs))
            continue;
        if (b == DLE) {
            log("-> " + describeTelegram(data, true));
            {
                std::lock_guard lock(m_mutex);
                m_sent.push_back(data);
            }
            if (m_listener.sent)
                m_listener.sent(data);
            return true;
        }
    }
    log("-> " + describeTelegram(data, true) + " NOT delivered");
    {
        std::lock_guard lock(m_mutex);
        ++m_failedSends;
    }
    if (m_listener.failed)
        m_listener.failed(data);
    return false;
}

} // namespace kelm::sim
