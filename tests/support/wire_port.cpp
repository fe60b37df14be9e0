#include "tests/support/wire_port.h"

namespace testsupport {

CWirePort::CWirePort() {
    settings.SetString("Ports", "COM1", pty.SlavePath());
    port.SetSettings(&settings);
    port.SetPrompts(&prompts);
    port.Open(1, 921600, true);
}

void CWirePort::Feed(const std::vector<uint8_t>& bytes) {
    // The ring holds 16383 bytes; long replies go in as the thread would
    // deliver them, in pieces the consumer drains in between.
    port.DeliverChunk(bytes.data(), static_cast<int32_t>(bytes.size()));
}

std::vector<uint8_t> CWirePort::Sent(size_t n) {
    return pty.ReadExactly(n, std::chrono::milliseconds(2000));
}

std::vector<uint8_t> CWirePort::SentNow() {
    return pty.ReadAvailable(std::chrono::milliseconds(30));
}

}  // namespace testsupport
