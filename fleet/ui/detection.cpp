#include "fleet/ui/detection.h"

#include <strings.h>

#include <algorithm>
#include <thread>

#include "fleet/pda/pda_commands.h"
#include "fleet/transport/stop_token.h"
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

// One link's handshake, on a thread of its own. The thread writes the port
// and bAnswered before it sets bDone; the owner reads them after joining.
struct CDetection::Probe {
    std::string strLink;
    UsbDevicePort port;
    std::atomic<bool> bStop{false};
    std::atomic<bool> bDone{false};
    bool bAnswered = false;
    bool bOpenFailed = false;  // the last attempt could not open the interface
    std::thread thread;
};

CDetection::CDetection(CSlotBoard& board, std::array<UsbDevicePort, kBoardSlots>& ports,
                       DetectionConfig config)
    : m_board(board), m_ports(ports), m_config(std::move(config)) {}

CDetection::~CDetection() {
    StopProbes();
}

void CDetection::ClearSlot(int nSlot) {
    if (nSlot >= 0 && nSlot < kBoardSlots) {
        m_astrPhonePath[static_cast<size_t>(nSlot)].clear();
        m_anPhoneCom[static_cast<size_t>(nSlot)] = 0;
    }
}

void CDetection::OnDeviceEvent(const DeviceLinkEvent& event) {
    if (!event.bArrived) {
        // A link that did not answer is tried again once it has come back.
        m_silent.erase(event.strName);
        return;
    }
    if (m_board.m_bDetectArmed == 0) {
        return;
    }
    if (LinkNameMatches(event.strName, m_config.pdaClass.strPattern)) {
        // Another vendor's interface is left alone: no handshake is sent to it.
        if (OfAnotherVendor(m_config.pdaClass, event.strName)) {
            return;
        }
        if (SlotToFill() >= 0) {
            StartProbe(event.strName);
        }
    } else if (!m_config.strModemPattern.empty() &&
               LinkNameMatches(event.strName, m_config.strModemPattern)) {
        OnModemArrival(event.strName);
    }
}

int CDetection::SlotToFill() const {
    const int nSlot = m_board.TopFreeSlot();
    if (nSlot < 0 || m_board.m_nDetected >= kBoardSlots ||
        (m_fnMayAccept && !m_fnMayAccept(nSlot))) {
        return -1;
    }
    return nSlot;
}

bool CDetection::Served(const std::string& strDevice) const {
    for (int i = 0; i < kBoardSlots; ++i) {
        const SlotView& s = m_board.Slot(i);
        if (SameName(s.strDeviceName, strDevice) && s.nState != kSlotEmpty &&
            s.nState != kSlotFailed) {
            return true;
        }
    }
    return false;
}

void CDetection::StartProbe(const std::string& strLink) {
    // Each link once at a time; a served handset's link (it showed up again)
    // and one that did not answer are passed over.
    if (m_silent.count(strLink) != 0 || Served(DeviceNameOfLink(strLink))) {
        return;
    }
    for (const auto& p : m_probes) {
        if (p->strLink == strLink) {
            return;
        }
    }
    auto probe = std::make_unique<Probe>();
    Probe& p = *probe;
    p.strLink = strLink;
    p.port.SetTiming(m_ports[0].Timing());
    const DeviceInterfaceClass cls = m_config.pdaClass;
    std::function<void()> wake = m_fnProbeWake;
    p.thread = std::thread([&p, cls, wake] {
        CStopScope stop(&p.bStop);
        for (int attempts = kDetectAttempts; attempts > 0 && !p.bStop; --attempts) {
            p.bOpenFailed = !p.port.OpenLink(cls, p.strLink);
            if (p.bOpenFailed) {
                continue;
            }
            uint8_t reply[4] = {};
            if (p.port.Write(kHandshake, sizeof kHandshake) == sizeof kHandshake &&
                p.port.Read(reply, sizeof reply, 0) == sizeof reply &&
                std::equal(reply, reply + 4, kAccepted)) {
                p.bAnswered = true;
                break;
            }
            p.port.Close();
        }
        p.bDone = true;
        if (wake) {
            wake();
        }
    });
    m_probes.push_back(std::move(probe));
    if (!m_fnProbeWake) {
        m_probes.back()->thread.join();
        CompleteProbes();
    }
}

void CDetection::CompleteProbes() {
    for (auto it = m_probes.begin(); it != m_probes.end();) {
        Probe& p = **it;
        if (!p.bDone) {
            ++it;
            continue;
        }
        if (p.thread.joinable()) {
            p.thread.join();
        }
        if (p.bAnswered) {
            Accept(p);
        } else if (!p.bStop) {
            m_silent.insert(p.strLink);
            m_board.AppendLog("PDA Device not found.\r\n");
            // An interface that is there but cannot be opened: say why, and how to fix it.
            const std::string failure =
                p.bOpenFailed ? p.port.OpenFailureText("\r\n") : std::string();
            if (!failure.empty()) {
                m_board.AppendLog(failure + "\r\n");
                m_strOpenFailure = p.port.OpenFailureText();
            }
            m_board.AppendLog(platform::Format(
                "%s %s; it is passed over until it is plugged in again.\r\n", p.strLink.c_str(),
                failure.empty() ? "did not answer" : "could not be opened"));
        }
        it = m_probes.erase(it);
    }
}

void CDetection::Accept(Probe& probe) {
    const std::string name = DeviceNameOfLink(probe.port.DevicePath());
    const int nSlot = SlotToFill();
    // The slots may have filled, or the handset been taken, meanwhile.
    if (nSlot < 0 || Served(name)) {
        probe.port.Close();
        return;
    }
    UsbDevicePort& port = m_ports[static_cast<size_t>(nSlot)];
    port.TakeOver(probe.port);
    m_board.MutableSlot(nSlot).strDeviceName = name;
    m_board.AppendSlotLog(nSlot, platform::Format("Device name:%s\r\n", name.c_str()));
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
}

void CDetection::StopProbes() {
    for (const auto& p : m_probes) {
        p->bStop = true;
    }
    for (const auto& p : m_probes) {
        if (p->thread.joinable()) {
            p->thread.join();
        }
    }
    m_probes.clear();
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
