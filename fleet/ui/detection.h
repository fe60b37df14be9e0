#pragma once
// Detection of attached handsets: a PDA interface link appearing in the
// device folder gets the top free slot once its download-mode boot loader
// answers the A T U D handshake; the modem link of the same handset,
// appearing later while its slot waits for it, wakes the slot's worker.
//
// The handshake of each link that appears runs on a thread of its own (a
// "probe"), so the window never waits on a device: up to seven tries of
// about 11 s each for a device that does not answer. The probe tells the
// owner (SetProbeWake), which then takes the results on its own thread
// (CompleteProbes): an answering handset gets the top free slot; a link that
// never answered is said in the log and passed over until it goes away and
// comes back. Everything else runs in the window's thread.

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fleet/transport/device_folder_watch.h"
#include "fleet/transport/usb_device_port.h"
#include "fleet/ui/slot_board.h"

namespace fleet {

struct DetectionConfig {
    DeviceInterfaceClass pdaClass;                // folder and the PDA interface's link pattern
    std::string strModemPattern = "usb-*-if00*";  // the modem interface's links
    // Set when a setting could not be used as given (shown in the log).
    std::string strWarning;
};

// The handset a link belongs to: its name without the interface part
// ("usb-Sim_Handset_0001-if01" -> "usb-Sim_Handset_0001").
std::string DeviceNameOfLink(const std::string& strLinkName);

constexpr int kDetectAttempts = 7;

class CDetection {
  public:
    using SlotAction = std::function<void(int nSlot)>;

    CDetection(CSlotBoard& board, std::array<UsbDevicePort, kBoardSlots>& ports,
               DetectionConfig config);
    ~CDetection();
    CDetection(const CDetection&) = delete;
    CDetection& operator=(const CDetection&) = delete;

    // An accepted handset is told so (PDA_ATTACHED, and PDA_BACKLIGHT_OFF
    // when the option is set) before the slot takes it; then the window is
    // told of the slot, and presses "Start downloading" or enables it.
    void SetAttachedAction(SlotAction fn) { m_fnAttached = std::move(fn); }
    void SetBacklightOff(bool b) { m_bBacklightOff = b; }
    void SetStartAction(std::function<void()> fn) { m_fnStart = std::move(fn); }
    void SetEnableStartAction(std::function<void()> fn) { m_fnEnableStart = std::move(fn); }
    // A slot's modem port has appeared: its number is learnt whenever the
    // handset's modem link appears (a port that comes after the worker's
    // wait is still found by its open attempts), and the slot's event is
    // set when the slot watches for it.
    void SetPhonePortLearntAction(SlotAction fn) { m_fnPhonePortLearnt = std::move(fn); }
    void SetPhonePortAction(SlotAction fn) { m_fnPhonePort = std::move(fn); }
    void SetStartImmediately(bool b) { m_bStartImmediately = b; }
    // Whether the top free slot may take a handset now (the command line's
    // --slots and --count); asked before a handshake and again before a
    // handset that answered is taken. Without it every free slot may.
    void SetMayAccept(std::function<bool(int nSlot)> fn) { m_fnMayAccept = std::move(fn); }

    // Called on a probe's thread when its handshake is over; the owner then
    // runs CompleteProbes on its own thread. Without it each probe is waited
    // for where it starts (tests).
    void SetProbeWake(std::function<void()> fn) { m_fnProbeWake = std::move(fn); }

    void OnDeviceEvent(const DeviceLinkEvent& event);
    // Takes the results of the probes that are over (the owner's thread).
    void CompleteProbes();
    bool ProbesRunning() const { return !m_probes.empty(); }
    // Stops every probe and waits for it (a reset of all slots, the end).
    void StopProbes();
    // Links that did not answer, passed over until they go away.
    bool IsSilent(const std::string& strLink) const { return m_silent.count(strLink) != 0; }

    const DetectionConfig& Config() const { return m_config; }
    // The modem port found for a slot (its path) and its tty number.
    const std::string& PhonePortPath(int nSlot) const {
        return m_astrPhonePath[static_cast<size_t>(nSlot)];
    }
    const std::atomic<int32_t>& PhoneComNumber(int nSlot) const {
        return m_anPhoneCom[static_cast<size_t>(nSlot)];
    }
    void ClearSlot(int nSlot);
    // Why the last detection that gave up could not open an interface it
    // found (empty when it opened every one it tried); cleared when taken.
    std::string TakeOpenFailure() { return std::exchange(m_strOpenFailure, {}); }

  private:
    struct Probe;
    void StartProbe(const std::string& strLink);
    // The handsets whose device is in a slot that is neither empty nor failed.
    bool Served(const std::string& strDevice) const;
    // A free slot within the board's and the owner's limits, or -1.
    int SlotToFill() const;
    void Accept(Probe& probe);
    void OnModemArrival(const std::string& strName);

    CSlotBoard& m_board;
    std::array<UsbDevicePort, kBoardSlots>& m_ports;
    DetectionConfig m_config;
    SlotAction m_fnAttached;
    std::function<void()> m_fnStart;
    std::function<void()> m_fnEnableStart;
    SlotAction m_fnPhonePortLearnt;
    SlotAction m_fnPhonePort;
    bool m_bStartImmediately = true;
    bool m_bBacklightOff = false;
    std::array<std::string, kBoardSlots> m_astrPhonePath{};
    std::array<std::atomic<int32_t>, kBoardSlots> m_anPhoneCom{};
    std::string m_strOpenFailure;
    std::function<void()> m_fnProbeWake;
    std::function<bool(int nSlot)> m_fnMayAccept;
    std::vector<std::unique_ptr<Probe>> m_probes;
    std::set<std::string> m_silent;
};

}  // namespace fleet
