#pragma once
// The PDA link on a pseudo-terminal with the test as the handset: the host's
// UsbDevicePort opened through a link in a scratch device folder, and a
// thread that takes the host's 1024-byte packets and answers them as a
// script says. Also the slot's messages as a list.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "fleet/transport/slot_messages.h"
#include "fleet/transport/usb_device_port.h"
#include "platform/window_message.h"
#include "tests/fleet/temp_dir.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_sink.h"

namespace fleettest {

using namespace std::chrono_literals;
using Packet = std::array<uint8_t, 1024>;

inline uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint32_t Sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i) {
        s += p[i];
    }
    return s;
}

// The handset side: every whole packet goes to the responder, whose bytes
// are sent back.
class CScriptedPda {
  public:
    using Responder = std::function<std::vector<uint8_t>(const Packet& packet, size_t nIndex)>;

    CScriptedPda(testsupport::CPtyPair& pty, Responder responder = {})
        : m_pty(pty), m_responder(std::move(responder)), m_thread([this] { Run(); }) {}
    ~CScriptedPda() { Stop(); }
    CScriptedPda(const CScriptedPda&) = delete;
    CScriptedPda& operator=(const CScriptedPda&) = delete;

    // Takes what the host still sends for `quiet`, then stops.
    void Stop(std::chrono::milliseconds quiet = 50ms) {
        if (!m_thread.joinable()) {
            return;
        }
        std::this_thread::sleep_for(quiet);
        m_bStop = true;
        m_thread.join();
    }
    std::vector<Packet> Packets() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_packets;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_packets.size();
    }
    size_t StrayBytes() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_pending.size();
    }

  private:
    void Run() {
        uint8_t buffer[8192];
        while (!m_bStop) {
            pollfd pfd{m_pty.MasterFd(), POLLIN, 0};
            if (poll(&pfd, 1, 5) <= 0) {
                continue;
            }
            const ssize_t n = read(m_pty.MasterFd(), buffer, sizeof buffer);
            if (n <= 0) {
                continue;
            }
            std::vector<std::vector<uint8_t>> replies;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_pending.insert(m_pending.end(), buffer, buffer + n);
                while (m_pending.size() >= 1024) {
                    Packet p;
                    std::copy_n(m_pending.begin(), 1024, p.begin());
                    m_pending.erase(m_pending.begin(), m_pending.begin() + 1024);
                    m_packets.push_back(p);
                    if (m_responder) {
                        replies.push_back(m_responder(p, m_packets.size() - 1));
                    }
                }
            }
            for (const auto& reply : replies) {
                if (!reply.empty()) {
                    m_pty.Write(reply);
                }
            }
        }
    }

    testsupport::CPtyPair& m_pty;
    Responder m_responder;
    std::mutex m_lock;
    std::vector<Packet> m_packets;
    std::vector<uint8_t> m_pending;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// A UsbDevicePort on a pseudo-terminal, found through a link like a handset's.
class CPdaWire {
  public:
    CPdaWire() {
        const std::string link = dir.File("usb-Test_Handset_1-if01");
        EXPECT_EQ(symlink(pty.SlavePath().c_str(), link.c_str()), 0);
        fleet::DeviceInterfaceClass cls;
        cls.strFolder = dir.Path();
        fleet::UsbPortTiming timing;
        timing.blockingBound = 300ms;  // a silent handset is given up quickly
        port.SetTiming(timing);
        ::testing::internal::CaptureStdout();
        EXPECT_TRUE(port.Open(cls, 0));
        ::testing::internal::GetCapturedStdout();
    }

    CTempDir dir;
    testsupport::CPtyPair pty;
    fleet::UsbDevicePort port;
};

struct Posted {
    uint32_t nMsg = 0;
    uint32_t nCode = 0;
    uint32_t nArgument = 0;
    int nSlot = 0;
    std::string text;  // WM_SLOT_LOG
    bool operator==(const Posted& o) const {
        return nMsg == o.nMsg && nCode == o.nCode && nArgument == o.nArgument;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Posted& p) {
    if (p.nMsg == fleet::WM_SLOT_LOG) {
        return os << "log \"" << p.text << "\"";
    }
    if (p.nMsg == fleet::WM_WINDOW_TEXT) {
        return os << (p.nArgument == fleet::kWindowTextBox ? "box \"" : "main log \"") << p.text
                  << "\"";
    }
    return os << (p.nMsg == fleet::WM_PDA_PROGRESS ? "pda " : "phone ") << p.nCode << "("
              << p.nArgument << ")";
}

inline Posted Pda(uint32_t code, uint32_t arg = 0) {
    return {fleet::WM_PDA_PROGRESS, code, arg, 0, {}};
}
inline Posted Phone(uint32_t code, uint32_t arg = 0) {
    return {fleet::WM_PHONE_PROGRESS, code, arg, 0, {}};
}

// Everything posted so far, in order (log texts adopted).
inline std::vector<Posted> Drain(testsupport::CRecordingSink& sink) {
    std::vector<Posted> out;
    platform::WindowMessage msg;
    while (sink.WaitNext(msg, 0ms)) {
        if (msg.nMsg == fleet::WM_WORKER_ENDED) {
            continue;  // the slots' bookkeeping, not a step of the job
        }
        Posted p;
        p.nMsg = msg.nMsg;
        p.nSlot = fleet::SlotOfLParam(msg.lParam);
        if (msg.nMsg == fleet::WM_SLOT_LOG || msg.nMsg == fleet::WM_WINDOW_TEXT) {
            p.text = fleet::AdoptSlotLogText(msg).get();
            p.nArgument = fleet::ArgumentOfLParam(msg.lParam);  // the window text's kind
        } else {
            p.nCode = static_cast<uint32_t>(msg.wParam);
            p.nArgument = fleet::ArgumentOfLParam(msg.lParam);
        }
        out.push_back(p);
    }
    return out;
}

// The messages of one code, in order.
inline std::vector<uint32_t> ArgumentsOf(const std::vector<Posted>& posted, uint32_t nCode) {
    std::vector<uint32_t> out;
    for (const Posted& p : posted) {
        if (p.nMsg != fleet::WM_SLOT_LOG && p.nCode == nCode) {
            out.push_back(p.nArgument);
        }
    }
    return out;
}

// The messages without the per-packet progress (a phone area's closing 312
// with 100 stays), for comparing steps.
inline std::vector<Posted> Steps(const std::vector<Posted>& posted) {
    std::vector<Posted> out;
    for (const Posted& p : posted) {
        const bool bProgress =
            p.nMsg != fleet::WM_SLOT_LOG &&
            ((p.nMsg == fleet::WM_PDA_PROGRESS &&
              (p.nCode == 209 || p.nCode == 215 || (p.nCode >= 316 && p.nCode <= 321))) ||
             (p.nMsg == fleet::WM_PHONE_PROGRESS && p.nCode == 312 && p.nArgument < 100));
        if (!bProgress) {
            out.push_back(p);
        }
    }
    return out;
}

}  // namespace fleettest
