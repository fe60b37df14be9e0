#pragma once
// The handset's end of the serial line: the master side of a pseudo-terminal.
// It notices the host opening and closing the slave, takes in what the host
// sends, and sends the handset's bytes no faster than the handset's UART
// would put them on the wire.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/oriel/handset_context.h"

namespace orielsim {

class CPtyLine : public IHandsetWire {
  public:
    explicit CPtyLine(bool bPace);
    ~CPtyLine() override;
    CPtyLine(const CPtyLine&) = delete;
    CPtyLine& operator=(const CPtyLine&) = delete;

    // Creates the pseudo-terminal, sets its line raw at 115200, and closes
    // the slave so the master sees hang-up until the host opens it.
    bool Open(std::string& error);
    void Close();
    int MasterFd() const { return m_hMaster; }
    const std::string& SlavePath() const { return m_strSlave; }

    // Without waiting: whether the host has the slave open.
    bool HostHasPortOpen() const;

    struct RxByte {
        uint8_t b;
        TimePoint arrived;  // when its last bit is in, at the handset's rate
    };
    // Reads everything the host has sent. False once the host has closed the
    // port (bytes read before that are still returned).
    bool Read(std::vector<RxByte>& out, TimePoint now);

    // The time the byte being answered arrived; answers never leave earlier.
    void SetEventTime(TimePoint t) { m_eventTime = t; }

    void Send(const uint8_t* p, size_t n) override;
    void SetUart(uint32_t nBaud, int nBitsPerByte) override;
    uint32_t HostBaud() const override;

    // Bytes not yet on the wire are lost (power-off, host gone).
    void DropPending();
    bool HasPending() const { return !m_tx.empty(); }
    // Waiting for room in the pseudo-terminal's buffer.
    bool Blocked() const { return m_bBlocked; }
    // When the next byte may go out; empty when nothing waits or blocked.
    std::optional<TimePoint> NextSendTime() const;
    // Writes what is due by now. False when the host has gone.
    bool Pump(TimePoint now);

  private:
    struct Segment {
        std::vector<uint8_t> data;
        size_t nPos = 0;
        TimePoint notBefore;
        std::chrono::nanoseconds byteTime;
    };

    const bool m_bPace;
    int m_hMaster = -1;
    std::string m_strSlave;
    std::chrono::nanoseconds m_byteTime;
    TimePoint m_eventTime{};
    TimePoint m_txFree{};
    TimePoint m_rxFree{};
    bool m_bBlocked = false;
    std::deque<Segment> m_tx;
};

}  // namespace orielsim
