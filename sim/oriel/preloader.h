#pragma once
// The pre-loader running in SCRAM: takes the rate byte, survives the host's
// close and re-open around the rate change, checks the new rate on 0xD9, then
// takes the boot-loader in 2048-byte blocks and jumps into it.

#include <cstdint>
#include <optional>
#include <vector>

#include "oriel/boot/loader_images.h"
#include "sim/oriel/handset_context.h"

namespace orielsim {

constexpr uint32_t kRateTable[4] = {115200, 230400, 460800, 921600};

class CPreloader {
  public:
    static constexpr uint32_t kRamLimit = 4u * 1024u * 1024u;  // largest image it takes
    static constexpr size_t kBlockSize = 2048;

    explicit CPreloader(CHandsetContext& ctx);

    // The pre-loader starts. On the first boot of a power-on it waits only a
    // short while for the rate byte (the host in Mode "Normal" lets the chip
    // boot a second time); on a later boot it waits for it as long as it takes.
    void Start(bool bFirstBoot, TimePoint now);

    enum class Result { Stay, Reboot, StartBootLoader, PowerOff };
    Result OnByte(uint8_t b, TimePoint now);
    Result OnTimer(TimePoint now, bool bHostOpen);
    std::optional<TimePoint> NextDeadline() const;

    // The host closed its port. True when that belongs to the rate change (the
    // first close within the window); false means the handset lost power.
    bool TakeHangup();
    int RateIndex() const { return m_nRate; }
    bool FastImage() const { return m_nLength == oriel::kFastBootloaderSize; }

  private:
    enum class State {
        WaitRate,    // the rate byte (0..3)
        RateChange,  // rate switched; the host closes, re-opens, sends 0xD9
        Commands,    // 0xD9, 0xD4, 0xF7, 0xFF
        Block,       // collecting one block after 0xF7
    };

    void Sync();
    void OnLength(uint32_t nLength);
    void OnDmaRequest();
    void OnBlockComplete();
    void OnJump();
    bool ImageVerified() const;

    CHandsetContext& m_ctx;
    State m_state = State::WaitRate;
    std::optional<TimePoint> m_rateByteDeadline;
    TimePoint m_windowEnd{};
    bool m_bHungUpInWindow = false;
    int m_nRate = 0;
    CArgCollector m_args;
    size_t m_nLength = 0;  // announced boot-loader length; 0 = none
    std::vector<uint8_t> m_ram;
    size_t m_nBlockWant = 0;  // bytes still to come in this block
    size_t m_nBlockLen = 0;
    int m_nBlock = 0;
    bool m_bVerified = false;
    bool m_bJumped = false;
};

}  // namespace orielsim
