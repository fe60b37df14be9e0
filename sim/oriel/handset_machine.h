#pragma once
// The handset as a whole: power, the chain boot ROM -> pre-loader ->
// boot-loader, and the rule that decides whether a closed port is a power-off
// or just the host re-opening its port around the rate change.

#include <cstdint>
#include <optional>

#include "sim/oriel/boot_loader.h"
#include "sim/oriel/boot_rom.h"
#include "sim/oriel/handset_context.h"
#include "sim/oriel/preloader.h"

namespace orielsim {

class CHandsetMachine {
  public:
    explicit CHandsetMachine(CHandsetContext& ctx);

    void OnHostOpened(TimePoint now);
    void OnHostClosed(TimePoint now);
    void OnByte(uint8_t b, TimePoint now);
    void OnTimer(TimePoint now);
    std::optional<TimePoint> NextDeadline() const;

    HandsetStage Stage() const { return m_stage; }
    bool HostOpen() const { return m_bHostOpen; }

  private:
    void PowerOn(TimePoint now);
    void PowerOff(const char* why);
    void Boot(TimePoint now);
    void AfterEvent();

    CHandsetContext& m_ctx;
    CBootRom m_rom;
    CPreloader m_preloader;
    CBootLoader m_bootLoader;
    HandsetStage m_stage = HandsetStage::Off;
    bool m_bHostOpen = false;
    int m_nBootsThisPowerOn = 0;
};

}  // namespace orielsim
