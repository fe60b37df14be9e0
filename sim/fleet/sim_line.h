#pragma once
// One port of a simulated handset: the master side of a pseudo-terminal whose
// slave the host opens through a by-id style link. It notices the host
// opening and closing the slave, takes in what the host sends and sends the
// handset's bytes, both no faster than the pacing rate when one is set (the
// host's writes then wait, as they would on a slow USB link).

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/fleet/sim_types.h"

namespace fleetsim {

class CSimLine {
  public:
    explicit CSimLine(uint64_t nPaceBytesPerSecond);
    ~CSimLine();
    CSimLine(const CSimLine&) = delete;
    CSimLine& operator=(const CSimLine&) = delete;

    // A fresh pseudo-terminal, raw, its slave closed so that the master
    // reports hang-up until the host opens it.
    bool Open(std::string& error);
    // Hangs the line up for the host and removes the link.
    void Close();
    bool IsOpen() const { return m_hMaster >= 0; }
    int MasterFd() const { return m_hMaster; }
    const std::string& SlavePath() const { return m_strSlave; }

    // Makes the link point at the slave; an existing link is replaced, any
    // other file is refused.
    bool Publish(const std::string& strLink, std::string& error);
    // Removes the link if it still points at this line's slave.
    void Unpublish();
    bool Published() const { return !m_strLink.empty(); }

    // Without waiting: whether the host has the slave open.
    bool HostHasPortOpen() const;

    // Appends what the host has sent and the pacing allows now. False once the
    // host has closed the port (bytes read before are still appended).
    bool Read(std::vector<uint8_t>& out, TimePoint now);
    // When the pacing lets the next read happen; empty: now.
    std::optional<TimePoint> NextReadTime(TimePoint now) const;

    void Send(const uint8_t* p, size_t n);
    void Send(const std::vector<uint8_t>& bytes) { Send(bytes.data(), bytes.size()); }
    void DropPending();
    bool HasPending() const { return m_nPending > 0; }
    // Waiting for room in the pseudo-terminal.
    bool Blocked() const { return m_bBlocked; }
    // When the next byte may go out; empty when nothing waits or blocked.
    std::optional<TimePoint> NextSendTime(TimePoint now) const;
    // Writes what is due. False when the host has gone.
    bool Pump(TimePoint now);

  private:
    size_t Chunk() const;
    std::chrono::nanoseconds TimeFor(size_t n) const;

    const uint64_t m_nPace;
    int m_hMaster = -1;
    std::string m_strSlave;
    std::string m_strLink;
    std::deque<std::vector<uint8_t>> m_tx;
    size_t m_nFrontPos = 0;
    size_t m_nPending = 0;
    bool m_bBlocked = false;
    TimePoint m_rxFree{};
    TimePoint m_txFree{};
};

}  // namespace fleetsim
