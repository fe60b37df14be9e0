#pragma once
// The handset's receiver of a B000FF image streamed after PDA_PROGRAM_BIN:
// packets of 1024 bytes with a kind (15 image header, 12 record header, 1024 a
// full 1008-byte piece of record data, n the last n bytes of a record), ten
// zero bytes, the byte sum of the payload and the payload. The image goes to
// the operating-system partition as it arrives, byte for byte; any kind,
// length, sum or padding that does not fit ends the stream as failed, and the
// rest of it is dropped.
//
// Where the stream ends is seen from the packets themselves: a command packet
// carries non-zero argument bytes where a stream packet has its ten zeros (the
// commands without arguments are told apart by their all-zero body).

#include <cstdint>
#include <string>

#include "sim/fleet/side_host.h"

namespace fleetsim {

class CPdaFlash;

struct StreamRecord {
    enum class State {
        None,          // no stream announced yet
        ExpectHeader,  // announced, nothing came yet
        ExpectRecord,  // between records
        InRecord,
        Ended,  // the image's last, short record is complete
        Failed,
    };
    State state = State::None;
    int nStreams = 0;           // announced since start
    int nPackets = 0;           // taken in the current or last stream
    int nDropped = 0;           // packets dropped after a failure
    int nRecords = 0;           // records whose data is complete
    uint64_t nBytes = 0;        // image bytes received
    uint32_t nImageStart = 0;   // from the image header
    uint32_t nImageLength = 0;  // from the image header
    bool bComplete = false;     // the last stream ended cleanly
    std::string strFailure;     // why the last stream failed
};

const char* StreamStateName(StreamRecord::State state);

class CBinStream {
  public:
    CBinStream(ISideHost& host, CPdaFlash& flash) : m_host(host), m_flash(flash) {}

    // PDA_PROGRAM_BIN: a new stream to the partition at nDestination.
    void Begin(uint64_t nDestination);
    bool Active() const;
    // Whether the packet belongs to the stream (false: a command, which ends it).
    bool Claims(const uint8_t* pPacket) const;
    void Take(const uint8_t* pPacket);
    // The stream is over (a command came, or the host closed the port).
    void End(const char* pWhy);

    const StreamRecord& Record() const { return m_rec; }

  private:
    void Fail(const std::string& why);
    bool Store(const uint8_t* p, size_t n);

    ISideHost& m_host;
    CPdaFlash& m_flash;
    StreamRecord m_rec;
    uint64_t m_nDestination = 0;
    uint32_t m_nRecordGot = 0;   // data bytes of the current record so far
    uint32_t m_nRecordTrue = 0;  // its length as its header gives it, at most kRecordData
    bool m_bActive = false;
};

}  // namespace fleetsim
