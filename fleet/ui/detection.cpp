#include "fleet/ui/detection.h"

#include <strings.h>

#include "fleet/pda/pda_commands.h"
#include "platform/format.h"

namespace fleet {

namespace {

constexpr uint8_t kHandshake[4] = {'A', 'T', 'U', 'D'};
constexpr uint8_t kAccepted[4] = {'O', 'K', 'U', 'D'};

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    return !a.empty() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

std::string DeviceNameOfLink(const std::string& strLinkName) {
    const std::string name = BaseName(strLinkName);
    const size_t iface = name.rfind("-if");
    return iface == std::string::npos || iface == 0 ? name : name.substr(0, iface);
}

CDetection::CDetection(CSlotBoard& board, std::array<UsbDevicePort, kBoardSlots>& ports,
                       DetectionConfig config)
    : m_board(board), m_ports(ports), m_config(std::move(config)) {}

void CDetection::ClearSlot(int nSlot) {
    if (nSlot >= 0 && nSlot < kBoardSlots) {
        m_astrPhonePath[static_cast<size_t>(nSlot)].clear();
        m_anPhoneCom[static_cast<size_t>(nSlot)] = 0;
    }
}

void CDetection::OnDeviceEvent(const DeviceLinkEvent& event) {
    if (m_board.m_bDetectArmed == 0 || !event.bArrived) {
        return;
    }
    if (LinkNameMatches(event.strName, m_config.pdaClass.strPattern)) {
        // Another vendor's interface is left alone: no handshake is sent to it.
        if (OfAnotherVendor(m_config.pdaClass, event.strName)) {
            return;
        }
        if (m_board.m_nDetected < kBoardSlots && m_board.TopFreeSlot() >= 0) {
            DetectPda();
        }
    } else if (!m_config.strModemPattern.empty() &&
               LinkNameMatches(event.strName, m_config.strModemPattern)) {
        OnModemArrival(event.strName);
    }
}

int CDetection::DetectPda() {
    const int nSlot = m_board.TopFreeSlot();
    if (nSlot < 0) {
        return -1;
    }
    UsbDevicePort& port = m_ports[static_cast<size_t>(nSlot)];
    SlotView& view = m_board.MutableSlot(nSlot);
    for (int attempts = kDetectAttempts; attempts > 0; --attempts) {
        if (!port.Open(m_config.pdaClass, nSlot)) {
            continue;
        }
        const std::string name = DeviceNameOfLink(port.DevicePath());
        view.strDeviceName = name;
        m_board.AppendSlotLog(nSlot, platform::Format("Device name:%s\r\n", name.c_str()));
        for (int other = 0; other < kBoardSlots; ++other) {
            const SlotView& s = m_board.Slot(other);
            if (other != nSlot && SameName(s.strDeviceName, name)) {
                if (s.nState != kSlotEmpty && s.nState != kSlotFailed) {
                    // Already served by another slot.
                    port.Close();
                    return -1;
                }
                break;
            }
        }
        uint8_t reply[4] = {};
        if (port.Write(kHandshake, sizeof kHandshake) == sizeof kHandshake &&
            port.Read(reply, sizeof reply, 0) == sizeof reply &&
            std::equal(reply, reply + 4, kAccepted)) {
            m_astrPhonePath[static_cast<size_t>(nSlot)].clear();
            m_anPhoneCom[static_cast<size_t>(nSlot)] = 0;
            CPdaCommands commands(port);
            commands.Attached();
            if (m_bBacklightOff) {
                commands.BacklightOff();
            }
            if (m_fnAttached) {
                m_fnAttached(nSlot);
            }
            m_board.SlotAccepted(nSlot);
            if (m_bStartImmediately || m_board.m_nDetected == kBoardSlots) {
                if (m_fnStart) {
                    m_fnStart();
                }
            } else if (m_fnEnableStart) {
                m_fnEnableStart();
            }
            return nSlot;
        }
        port.Close();
    }
    m_board.AppendLog("PDA Device not found.\r\n");
    return -1;
}

void CDetection::OnModemArrival(const std::string& strName) {
    const std::string device = DeviceNameOfLink(strName);
    for (int i = 0; i < kBoardSlots; ++i) {
        SlotView& s = m_board.MutableSlot(i);
        if (!SameName(s.strDeviceName, device)) {
            continue;
        }
        const std::string path = m_config.pdaClass.strFolder + "/" + strName;
        // Kept as the tty's number + 1 (0 is "no port"); shown as the tty's.
        const int nTty = TtyNumberOf(path);
        const int nCom = nTty + 1;
        m_astrPhonePath[static_cast<size_t>(i)] = path;
        m_anPhoneCom[static_cast<size_t>(i)] = nCom;
        s.nPhoneCom = nCom;
        if (m_fnPhonePortLearnt) {
            m_fnPhonePortLearnt(i);
        }
        // Only a worker waiting for its modem port is woken.
        if (s.bWatching == 0) {
            return;
        }
        m_board.AppendSlotLog(i, platform::Format("PHONE-COM%d detected\r\n", nTty));
        if (m_fnPhonePort) {
            m_fnPhonePort(i);
        }
        return;
    }
}

}  // namespace fleet
