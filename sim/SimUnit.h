#pragma once

#include "sim/UnitModel.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelm::sim {

// A simulated KELM unit on the far end of a line: it answers the status query, keeps its LEDs
// and its 8 × 16 display as the telegrams set them, acknowledges display telegrams, sends key
// and selector reports on request and injects line faults on request. It speaks 3964R from
// its own reading of the procedure, in its own thread, on a file descriptor it does not own.
class SimUnit
{
public:
    static constexpr int kLines = UnitModel::kLines;
    static constexpr int kColumns = UnitModel::kColumns;

    explicit SimUnit(int fd);
    ~SimUnit();
    SimUnit(const SimUnit &) = delete;
    SimUnit &operator=(const SimUnit &) = delete;

    // Told of every block as it is settled, from the unit's own thread: a block of the tool's
    // accepted, a block of the unit's own accepted by the tool, or given up.
    struct Listener
    {
        std::function<void(const Bytes &)> received;
        std::function<void(const Bytes &)> sent;
        std::function<void(const Bytes &)> failed;
    };
    void setListener(Listener listener) { m_listener = std::move(listener); } // before start()

    void start();
    void stop();

    // Configuration.
    void setStxVariant(bool coversStx);
    void setStatusReply(Bytes reply);
    void setAckDigit(std::uint8_t digit);
    void setAckDelayMs(int ms);
    // Writes its bytes one at a time, this far apart, as a serial line at a given speed does
    // (11 bits a byte: 1146 µs at 9600 baud); 0 writes each block at once.
    void setByteTimeUs(int us) { m_byteTimeUs = us; }

    // Sends a telegram of its own as soon as the line is free.
    void sendReport(Bytes data);
    void pressKey(int key);                        // 0 to 11; the report 0x31 + key
    void releaseKeys();                            // the report 0x30
    void turnSelector(int selector, int position); // selector 1 or 2, position 1 to 12

    // Faults.
    void nakNextBlocks(int n); // refuse the next n blocks from the tool with NAK
    // Refuses every block once this many are in the log of accepted blocks (-1: never).
    void nakFromBlock(int accepted);
    void nakNextStx(int n); // answer the tool's next n STX with NAK, then take the block
    void replyToNextBlock(std::uint8_t byte); // answer the next block with this byte
    void corruptNextBcc(int n);               // the unit's next n blocks carry a wrong block check
    void setSilent(bool silent);              // answer nothing at all
    void setLateMs(int ms);                   // wait this long before every handshake reply
    // At the tool's next STX the unit starts a telegram of its own (data) at the same moment.
    // insist: it repeats its STX, so the tool gives way; otherwise it gives way itself.
    void conflictOnNextStx(Bytes data, bool insist);
    void injectNoise(Bytes noise);
    void cutOffNextTelegram(); // the unit's next telegram stops right after its DLE

    // State, as the unit sees it.
    std::array<Led, 12> leds() const;
    std::array<std::array<Cell, kColumns>, kLines> cells() const;
    std::string lineText(int line) const;         // the characters of a display line, code − 0x60
    std::vector<Bytes> receivedTelegrams() const; // every block accepted with DLE, in order
    std::vector<Bytes> sentTelegrams() const;     // every block of the unit the tool accepted
    Bytes bytesFromTool() const;                  // every byte read from the line
    Bytes bytesToTool() const;                    // every byte written to the line
    int failedSends() const;
    void clearLogs();
    bool idle() const; // nothing pending, nothing in progress
    UnitModel model() const;
    // Blocks received and sent since the last call, in words, for a log.
    std::vector<std::string> takeLog();

private:
    void run();
    bool readByte(std::uint8_t &byte, int timeoutMs);
    void writeBytes(const Bytes &bytes);
    void writeByte(std::uint8_t byte) { writeBytes(Bytes{byte}); }
    void pauseMs(int ms);
    std::uint8_t bcc(const Bytes &data) const;

    void onToolStx();
    void receiveBlock();
    void handleTelegram(const Bytes &data);
    void log(std::string entry);
    // The unit's own telegram; stxSent when its STX is already on the line.
    bool sendTelegram(const Bytes &data, bool stxSent = false);

    int m_fd;
    Listener m_listener;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_busy{false};
    std::atomic<int> m_byteTimeUs{0};

    mutable std::mutex m_mutex;
    bool m_coversStx = false;
    Bytes m_statusReply{0x30, 0x41, 0x51};
    std::uint8_t m_ackDigit = 0x31;
    int m_ackDelayMs = 0;
    std::deque<Bytes> m_outbox;
    int m_nakBlocks = 0;
    int m_nakStx = 0;
    int m_nakFrom = -1;
    int m_blockReply = -1;
    int m_corruptBcc = 0;
    bool m_silent = false;
    int m_lateMs = 0;
    bool m_conflictArmed = false;
    bool m_conflictInsist = true;
    Bytes m_conflictData;
    Bytes m_noise;
    bool m_cutOff = false;

    UnitModel m_model;
    std::vector<std::string> m_log;
    std::vector<Bytes> m_received;
    std::vector<Bytes> m_sent;
    Bytes m_fromTool;
    Bytes m_toTool;
    int m_failedSends = 0;
};

} // namespace kelm::sim
