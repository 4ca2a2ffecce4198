#pragma once

#include <string>

namespace kelm::sim {

// A pseudo-terminal pair with the slave in raw mode from the start, so that nothing written
// to either side is echoed or translated. The unit runs on the master; the tool opens the
// slave's path as its serial port.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    int master() const { return m_master; }
    const std::string &slavePath() const { return m_slavePath; }
    // Closes the master: the line vanishes under whoever holds the slave.
    void closeMaster();

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

} // namespace kelm::sim
