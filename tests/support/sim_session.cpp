#include "tests/support/sim_session.h"

namespace testsupport {

CSimSession::CSimSession() {
    port.SetSettings(&settings);
    port.SetPrompts(&prompts);
    port.SetMessageSink(&loop);
    loop.SetMessageHandler([this](const platform::WindowMessage& m) { session.OnMessage(m); });
}

CSimSession::~CSimSession() {
    session.Stop();
    if (handset) {
        handset->Stop();
    }
}

bool CSimSession::Boot(orielsim::HandsetOptions options, std::string& error) {
    handset = std::make_unique<orielsim::COrielHandset>(std::move(options));
    if (!handset->Start(error)) {
        return false;
    }
    settings.SetString("Ports", "COM1", handset->SlavePath());
    return true;
}

bool CSimSession::BootAndIdentify(orielsim::HandsetOptions options, std::string& error,
                                  oriel::HandshakeSettings s) {
    options.bPace = false;
    if (!Boot(options, error)) {
        return false;
    }
    s.nMode = oriel::kModeTat;
    s.nSpeedIndex = 3;
    if (!Connect(s) || session.Engine().m_bIdentified != 1) {
        error = "the flash was not identified:\n" + console.m_strLog;
        return false;
    }
    return true;
}

bool CSimSession::Connect(const oriel::HandshakeSettings& s, std::chrono::milliseconds timeout) {
    if (!session.Start(s)) {
        return false;
    }
    return loop.RunUntil(
        [this] {
            const auto& e = session.Engine();
            return e.m_bIdentified == 1 || e.m_nState == oriel::IDLE ||
                   e.m_nState == oriel::STATE_NONE;
        },
        timeout);
}

bool CSimSession::RunToIdle(std::chrono::milliseconds timeout) {
    return loop.RunUntil(
        [this] { return session.Engine().m_nState == oriel::IDLE || !session.IsConnected(); },
        timeout);
}

}  // namespace testsupport
