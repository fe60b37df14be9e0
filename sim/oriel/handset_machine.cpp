#include "sim/oriel/handset_machine.h"

namespace orielsim {

CHandsetMachine::CHandsetMachine(CHandsetContext& ctx)
    : m_ctx(ctx), m_rom(ctx), m_preloader(ctx), m_bootLoader(ctx) {}

void CHandsetMachine::OnHostOpened(TimePoint now) {
    m_bHostOpen = true;
    if (m_stage == HandsetStage::Off) {
        PowerOn(now);
    } else {
        m_ctx.Trace("host re-opened the port");
    }
}

void CHandsetMachine::OnHostClosed(TimePoint /*now*/) {
    m_bHostOpen = false;
    if (m_stage == HandsetStage::Off) {
        return;
    }
    // The host closes its port for the rate change; only that one close, and
    // only within the window, leaves the handset running.
    if (m_stage == HandsetStage::Preloader && m_preloader.TakeHangup()) {
        m_ctx.Trace("host closed the port for the rate change");
        return;
    }
    PowerOff("host closed the port");
}

void CHandsetMachine::PowerOn(TimePoint now) {
    ++m_ctx.Rec().nPowerOns;
    m_nBootsThisPowerOn = 0;
    m_ctx.Notice("power on");
    Boot(now);
}

void CHandsetMachine::PowerOff(const char* why) {
    if (m_stage != HandsetStage::Off) {
        m_ctx.Notice(std::string("power off (") + why + ")");
    }
    m_stage = HandsetStage::Off;
    m_ctx.TakeSilenceRequest();
}

void CHandsetMachine::Boot(TimePoint now) {
    ++m_nBootsThisPowerOn;
    ++m_ctx.Rec().nBoots;
    m_ctx.DisarmChaos();
    m_stage = HandsetStage::BootRom;
    m_ctx.Wire().SetUart(115200, 11);  // the ROM talks 8E1
    m_rom.Boot(now);
    m_ctx.Trace("boot " + std::to_string(m_nBootsThisPowerOn) + " of this power-on");
}

void CHandsetMachine::OnByte(uint8_t b, TimePoint now) {
    switch (m_stage) {
        case HandsetStage::BootRom:
            if (m_rom.OnByte(b) == CBootRom::Result::StartPreloader) {
                m_stage = HandsetStage::Preloader;
                m_preloader.Start(m_nBootsThisPowerOn == 1, now);
            }
            break;
        case HandsetStage::Preloader:
            switch (m_preloader.OnByte(b, now)) {
                case CPreloader::Result::StartBootLoader:
                    m_stage = HandsetStage::BootLoader;
                    m_bootLoader.Start(m_preloader.RateIndex());
                    break;
                case CPreloader::Result::Reboot:
                    Boot(now);
                    break;
                case CPreloader::Result::PowerOff:
                    PowerOff("pre-loader");
                    break;
                case CPreloader::Result::Stay:
                    break;
            }
            break;
        case HandsetStage::BootLoader:
            if (m_bootLoader.OnByte(b) == CBootLoader::Result::Release) {
                m_stage = HandsetStage::Released;
            }
            break;
        case HandsetStage::Off:
        case HandsetStage::Silent:
        case HandsetStage::Released:
            break;
    }
    AfterEvent();
}

void CHandsetMachine::OnTimer(TimePoint now) {
    switch (m_stage) {
        case HandsetStage::BootRom:
            m_rom.OnTimer(now);
            break;
        case HandsetStage::Preloader:
            switch (m_preloader.OnTimer(now, m_bHostOpen)) {
                case CPreloader::Result::Reboot:
                    Boot(now);
                    break;
                case CPreloader::Result::PowerOff:
                    PowerOff("rate change window over");
                    break;
                default:
                    break;
            }
            break;
        default:
            break;
    }
    AfterEvent();
}

void CHandsetMachine::AfterEvent() {
    if (m_ctx.TakeSilenceRequest() && m_stage != HandsetStage::Off) {
        m_stage = HandsetStage::Silent;
    }
}

std::optional<TimePoint> CHandsetMachine::NextDeadline() const {
    switch (m_stage) {
        case HandsetStage::BootRom:
            return m_rom.NextDeadline();
        case HandsetStage::Preloader:
            return m_preloader.NextDeadline();
        default:
            return std::nullopt;
    }
}

}  // namespace orielsim
