#pragma once
// A pseudo-terminal pair for tests: the code under test opens the slave path
// like a serial device, the test holds the master as the "handset".

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class CPtyPair {
  public:
    CPtyPair();
    ~CPtyPair();
    CPtyPair(const CPtyPair&) = delete;
    CPtyPair& operator=(const CPtyPair&) = delete;

    const std::string& SlavePath() const { return m_strSlave; }
    int MasterFd() const { return m_hMaster; }

    void Write(const std::vector<uint8_t>& bytes);
    void Write(const uint8_t* p, size_t n);
    // Reads exactly n bytes from the master or fails after the timeout.
    std::vector<uint8_t> ReadExactly(size_t n, std::chrono::milliseconds timeout);
    // Reads whatever arrives until nothing has come for `quiet`.
    std::vector<uint8_t> ReadAvailable(std::chrono::milliseconds quiet);
    // The line speed the slave side was set to (termios speed code).
    unsigned int SlaveSpeed() const;
    // The handset goes away: the slave side hangs up.
    void CloseMaster();

  private:
    int m_hMaster = -1;
    int m_hSlaveKeep = -1;  // keeps the slave alive between opens by the code under test
    std::string m_strSlave;
};

}  // namespace testsupport
