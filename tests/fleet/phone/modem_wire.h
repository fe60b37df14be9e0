#pragma once
// The modem link on a pseudo-terminal with the test as the modem: the host's
// ComPort opened on the pseudo-terminal, and a thread that takes the host's
// frames (un-stuffed, FCS checked) and, after an area is opened, its plain
// 1024-byte blocks, and answers each as a script says.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "fleet/phone/hdlc_frame.h"
#include "fleet/transport/com_port.h"
#include "tests/support/pty_pair.h"

namespace fleettest {

using Bytes = std::vector<uint8_t>;

struct ModemEvent {
    bool bBlock = false;
    bool bFcsOk = true;
    Bytes payload;        // a frame's payload, or the 1024 block bytes
    size_t nPadding = 0;  // zero bytes that followed the frame
};

inline Bytes FramedAnswer(uint8_t code) {
    return fleet::HdlcFrame::Build(&code, 1);
}

class CScriptedModem {
  public:
    using Responder = std::function<Bytes(const ModemEvent& event, size_t nIndex)>;

    CScriptedModem(testsupport::CPtyPair& pty, Responder responder)
        : m_pty(pty), m_responder(std::move(responder)), m_thread([this] { Run(); }) {}
    ~CScriptedModem() { Stop(); }
    CScriptedModem(const CScriptedModem&) = delete;
    CScriptedModem& operator=(const CScriptedModem&) = delete;

    void Stop() {
        if (m_thread.joinable()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            m_bStop = true;
            m_thread.join();
        }
    }
    std::vector<ModemEvent> Events() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_events;
    }
    // Frame command bytes and 'B' for blocks, in order.
    std::string Kinds() {
        std::string out;
        for (const ModemEvent& e : Events()) {
            out += e.bBlock ? std::string("B") : Hex(e.payload.empty() ? 0 : e.payload[0]);
            out += ' ';
        }
        return out;
    }
    static std::string Hex(uint8_t b) {
        static const char* digits = "0123456789ABCDEF";
        return {digits[b >> 4], digits[b & 15]};
    }

  private:
    // A frame at the start of the input: its raw length, or 0 when none is whole.
    size_t FrameAt(ModemEvent& event) const {
        if (m_in.empty() || m_in[0] != 0x7E) {
            return 0;
        }
        for (size_t i = 1; i < m_in.size() && i < 80; ++i) {
            if (m_in[i] != 0x7E) {
                continue;
            }
            Bytes body;
            for (size_t k = 1; k < i; ++k) {
                body.push_back(m_in[k] == 0x7D && k + 1 < i ? static_cast<uint8_t>(m_in[++k] ^ 0x20)
                                                            : m_in[k]);
            }
            if (body.size() < 3) {
                return 0;
            }
            const uint16_t fcs =
                static_cast<uint16_t>(body[body.size() - 2] | body[body.size() - 1] << 8);
            body.resize(body.size() - 2);
            event.bFcsOk = fleet::Fcs16(body.data(), body.size()) == fcs;
            event.payload = body;
            return i + 1;
        }
        return 0;
    }

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
            m_in.insert(m_in.end(), buffer, buffer + n);
            for (;;) {
                ModemEvent event;
                size_t used = FrameAt(event);
                if (used > 0 && (!m_bBlocks || event.bFcsOk)) {
                    while (used < m_in.size() && m_in[used] == 0x00 && event.nPadding == 0) {
                        ++event.nPadding;
                        ++used;
                    }
                    m_bBlocks = event.bFcsOk && !event.payload.empty() && event.payload[0] == 0xEF;
                } else if (m_bBlocks && m_in.size() >= 1024) {
                    event = ModemEvent{true, true, Bytes(m_in.begin(), m_in.begin() + 1024), 0};
                    used = 1024;
                } else {
                    break;
                }
                m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(used));
                Bytes reply;
                {
                    std::lock_guard<std::mutex> lock(m_lock);
                    m_events.push_back(event);
                    reply = m_responder(event, m_events.size() - 1);
                }
                if (!reply.empty()) {
                    m_pty.Write(reply);
                }
            }
        }
    }

    testsupport::CPtyPair& m_pty;
    Responder m_responder;
    std::mutex m_lock;
    std::vector<ModemEvent> m_events;
    Bytes m_in;
    bool m_bBlocks = false;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// Acknowledges everything with 7E 02 FCS 7E.
inline Bytes AckAll(const ModemEvent&, size_t) {
    return FramedAnswer(0x02);
}

}  // namespace fleettest
