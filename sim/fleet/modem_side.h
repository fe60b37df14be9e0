#pragma once
// The modem side of a simulated handset: its download mode behind the COM
// port that appears after the switch. Commands come as byte-stuffed frames
// with an FCS-16, which the handset un-escapes and checks itself; a frame
// that fails is refused with a non-acknowledgement. After an area is opened
// (and erased) the host streams plain 1024-byte blocks into it; each is
// written at the area's current position and acknowledged.
//
// Blocks and frames share the line. After an area is opened the handset
// takes a 1024-byte block unless what comes is a complete, valid frame of a
// known command (the greeting of the next area, the parameter block, the
// launch); a block whose first bytes form such a frame by chance would be
// mistaken for it.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/fleet/byte_store.h"
#include "sim/fleet/side_host.h"

namespace fleetsim {

struct ModemAreaRecord {
    uint64_t nStart = 0;
    uint64_t nEraseLength = 0;
    uint64_t nWritten = 0;  // bytes from the start up to the highest written
    int nBlocks = 0;        // blocks taken (written and acknowledged)
    int nRefusedBlocks = 0;
    bool bParamBlock = false;
    std::string strFile;
};

struct ModemRecord {
    int nFrames = 0;     // frames with a good FCS
    int nBadFrames = 0;  // bad FCS, bad escape, too long, incomplete
    int nAcks = 0;
    int nNaks = 0;
    int nGreetings = 0;
    int nOpens = 0;
    int nEfsErases = 0;
    int nParamBlocks = 0;
    int nBlocks = 0;  // data blocks received, all areas
    int nLaunches = 0;
    bool bLaunched = false;
    bool bClosedAfterLaunch = false;  // the host took the launch answer and let go
    uint16_t nLaunchWord = 0;
    size_t nJunkBytes = 0;            // between frames, not the padding zero
    std::vector<uint8_t> frameKinds;  // command bytes of the good frames, in order (the first 8192)
    std::vector<ModemAreaRecord> areas;
};

class CModemSide {
  public:
    // Areas are kept in files under strAreaDir (empty: in memory only).
    CModemSide(ISideHost& host, CByteStore& flash, std::string strAreaDir);
    ~CModemSide();

    void OnHostOpened();
    void OnHostClosed();
    void OnBytes(const uint8_t* p, size_t n, TimePoint now);
    void OnTimer(TimePoint now);
    std::optional<TimePoint> NextDeadline() const;

    const ModemRecord& Record() const { return m_rec; }

  private:
    enum class Scan { Frame, NeedMore, NotFrame };
    // Looks for a frame starting at m_in[m_nPos] (a flag) within nLimit bytes.
    Scan ScanFrame(size_t nLimit, size_t& nRawLength, std::vector<uint8_t>& payload,
                   bool& bValid) const;
    void Process(TimePoint now);
    void HandleFrame(const std::vector<uint8_t>& payload);
    void HandleBlock(const uint8_t* p);
    void BadFrame(const std::string& why);
    void CloseArea();
    void Ack();
    void Nak();
    void SendFramed(uint8_t byCode);

    ISideHost& m_host;
    CByteStore& m_flash;
    const std::string m_strAreaDir;
    ModemRecord m_rec;
    std::vector<std::unique_ptr<CByteStore>> m_areaStores;  // parallel to m_rec.areas
    std::vector<uint8_t> m_in;
    size_t m_nPos = 0;
    TimePoint m_lastByte{};
    bool m_bAfterFrame = false;  // the last thing taken was a frame (a padding zero may follow)
    // The area blocks go to, while open.
    std::optional<size_t> m_area;
    uint64_t m_nAreaPos = 0;
    int m_nAreaBlockIndex = 0;
    // A refused command and its immediate retries.
    int m_nLastKind = -1;
    int m_nSpoiledKind = -1;
};

}  // namespace fleetsim
