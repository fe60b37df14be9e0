#pragma once
// A PDA interface for the fleet targets: a pseudo-terminal published as a
// handset's link in a folder of the scratch directory and opened by a
// UsbDevicePort the way detection opens it. What the host writes is taken
// in as it comes; the target puts the device's bytes on the line with Reply.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "fleet/transport/usb_device_port.h"
#include "fuzz/support/pty_line.h"

namespace fuzzsupport {

class CPdaLink {
  public:
    explicit CPdaLink(std::chrono::milliseconds replyBound);
    ~CPdaLink();
    CPdaLink(const CPdaLink&) = delete;
    CPdaLink& operator=(const CPdaLink&) = delete;

    fleet::UsbDevicePort& Port() { return m_port; }
    // The device's bytes, queued for the host to read; returns once the host
    // could read nQueued bytes in all (those and any left before them).
    void Reply(const std::vector<uint8_t>& bytes, size_t nQueued);
    // Throws away what the host has not read.
    void ClearReplies();
    // What the host has written since the last call.
    std::vector<uint8_t> Take() { return m_line.Take(); }

  private:
    CPtyLine m_line;
    int m_hProbe = -1;  // the host's end, opened only to see what waits there
    fleet::UsbDevicePort m_port;
};

}  // namespace fuzzsupport
