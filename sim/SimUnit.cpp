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
constexpr int kByteWaitMs = 2000;     // the unit is more patient than the tool
constexpr int kAttempts = 6;
constexpr std::size_t kMaxBlock = 512; // a block longer than this is noise
} // namespace

SimUnit::SimUnit(int fd) : m_fd(fd) {}

SimUnit::~SimUnit() { stop(); }

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

void SimUnit::pressKey(int key) { sendReport({static_cast<std::uint8_t>(0x31 + key)}); }
void SimUnit::releaseKeys() { sendReport({0x30}); }
void SimUnit::turnSelector(int selector, int position)
{
    sendReport({static_cast<std::uint8_t>((selector == 1 ? 0x40 : 0x50) + position)});
}

void SimUnit::nakNextBlocks(int n)
{
    std::lock_guard lock(m_mutex);
    m_nakBlocks = n;
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
    return m_leds;
}

std::array<std::array<Cell, SimUnit::kColumns>, SimUnit::kLines> SimUnit::cells() const
{
    std::lock_guard lock(m_mutex);
    return m_cells;
}

std::string SimUnit::lineText(int line) const
{
    std::lock_guard lock(m_mutex);
    std::string text;
    for (const Cell &cell : m_cells.at(line))
        text += static_cast<char>(cell.code - 0x60);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
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
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
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
        }
        if (!noise.empty())
            writeBytes(noise);

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
    writeByte(DLE);
    {
        std::lock_guard lock(m_mutex);
        m_received.push_back(data);
    }
    handleTelegram(data);
}

void SimUnit::handleTelegram(const Bytes &data)
{
    if (data.empty())
        return;
    const std::uint8_t c = data[0];
    if (c == 0x23) {
        Bytes reply;
        {
            std::lock_guard lock(m_mutex);
            reply = m_statusReply;
        }
        if (!reply.empty()) // an empty reply stands for a unit that never answers the query
            sendTelegram(reply);
        return;
    }
    if (c == 0x6C) {
        applyDisplay(data);
        Bytes ack;
        int delay;
        {
            std::lock_guard lock(m_mutex);
            ack = {0x6C, m_ackDigit};
            delay = m_ackDelayMs;
        }
        pauseMs(delay);
        sendTelegram(ack);
        return;
    }
    std::lock_guard lock(m_mutex);
    if (c == 0x40)
        m_leds.fill(Led::Off);
    else if (c >= 0x31 && c <= 0x3C)
        m_leds[c - 0x31] = Led::On;
    else if (c >= 0x41 && c <= 0x4C)
        m_leds[c - 0x41] = Led::Off;
    else if (c >= 0x51 && c <= 0x5C)
        m_leds[c - 0x51] = Led::Blink;
}

void SimUnit::applyDisplay(const Bytes &data)
{
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 1; i < data.size(); ++i) {
        const std::uint8_t code = data[i];
        switch (code) {
        case 0x2B:
            for (auto &line : m_cells)
                line.fill(Cell{});
            m_line = m_column = 0;
            break;
        case 0x27:
            if (i + 2 < data.size()) {
                m_line = (data[i + 1] - 0x30) & 7;
                m_column = (data[i + 2] - 0x30) & 15;
                i += 2;
            }
            break;
        case 0x40:
            m_inverse = true;
            break;
        case 0x41:
            m_inverse = false;
            break;
        case 0x42:
            m_blink = true;
            break;
        case 0x43:
            m_blink = false;
            break;
        default:
            if (code >= 0x80) {
                m_cells[m_line][m_column] = Cell{code, m_inverse, m_blink};
                if (++m_column == kColumns) {
                    m_column = 0;
                    m_line = (m_line + 1) % kLines;
                }
            }
            break; // 0x29 closes a short line; nothing to do for it
        }
    }
}

bool SimUnit::sendTelegram(const Bytes &data, bool stxSent)
{
    for (int attempt = 0; attempt < kAttempts && !m_stop; ++attempt) {
        if (!(stxSent && attempt == 0))
            writeByte(STX);
        bool go = false;
        int crossings = 0;
        std::uint8_t b = 0;
        while (readByte(b, kByteWaitMs)) {
            if (b == DLE) {
                go = true;
                break;
            }
            if (b == NAK)
                break;
            if (b == STX && ++crossings <= 3)
                writeByte(STX); // both started at once: the unit keeps the line
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
            std::lock_guard lock(m_mutex);
            ++m_failedSends;
            return false;
        }
        block.push_back(ETX);
        block.push_back(check);
        writeBytes(block);
        if (!readByte(b, kByteWaitMs))
            continue;
        if (b == DLE) {
            std::lock_guard lock(m_mutex);
            m_sent.push_back(data);
            return true;
        }
    }
    std::lock_guard lock(m_mutex);
    ++m_failedSends;
    return false;
}

} // namespace kelm::sim
