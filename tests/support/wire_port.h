#pragma once
// A port opened on a pseudo-terminal without its receive thread: the test
// plays the handset, putting replies straight into the ring and reading what
// the host sent from the master side.

#include <chrono>
#include <cstdint>
#include <vector>

#include "oriel/link/serial_port.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "tests/support/pty_pair.h"

namespace testsupport {

class CWirePort {
  public:
    CWirePort();
    // Puts the bytes into the receive ring, as the receive thread would.
    void Feed(const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> Sent(size_t n);
    std::vector<uint8_t> SentNow();

    CPtyPair pty;
    platform::CMemorySettingsStore settings;
    platform::CScriptedPrompts prompts;
    oriel::CSerialPort port;
};

// Bytes helpers for wire tests.
inline uint8_t Sum8Of(const std::vector<uint8_t>& b, size_t from = 0, size_t n = SIZE_MAX) {
    uint8_t s = 0;
    for (size_t i = from; i < b.size() && i - from < n; ++i) {
        s = static_cast<uint8_t>(s + b[i]);
    }
    return s;
}

}  // namespace testsupport
