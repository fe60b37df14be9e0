#pragma once
// A pseudo-terminal whose far end a thread keeps reading, so that no write of
// the code under test ever waits for the target; the target takes what was
// written when it wants it, and writes the device's bytes back.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_pair.h"

namespace fuzzsupport {

class CPtyLine {
  public:
    CPtyLine();
    ~CPtyLine();
    CPtyLine(const CPtyLine&) = delete;
    CPtyLine& operator=(const CPtyLine&) = delete;

    const std::string& SlavePath() const { return m_pty.SlavePath(); }
    // Everything written on the slave side since the last call.
    std::vector<uint8_t> Take();
    void Write(const std::vector<uint8_t>& bytes) { m_pty.Write(bytes); }

  private:
    void ReadAll();

    testsupport::CPtyPair m_pty;
    std::mutex m_lock;
    std::vector<uint8_t> m_written;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

}  // namespace fuzzsupport
