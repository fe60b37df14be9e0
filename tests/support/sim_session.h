#pragma once
// A session of the downloader against the simulated handset, on the
// standard-library loop: what the end-to-end suites share.

#include <chrono>
#include <memory>
#include <string>

#include "oriel/engine/console_view.h"
#include "oriel/link/serial_port.h"
#include "oriel/ui/downloader_session.h"
#include "platform/event_loop.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"
#include "sim/oriel/oriel_handset.h"

namespace testsupport {

class CSimSession {
  public:
    CSimSession();
    ~CSimSession();

    // Starts the simulated handset (pacing as the options say) and maps COM1 to it.
    bool Boot(orielsim::HandsetOptions options, std::string& error);
    // START and the handshake; true when it ended (identified, failed or stopped).
    bool Connect(const oriel::HandshakeSettings& s,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Boots the handset unpaced and identifies its flash in Mode TAT at 921600
    // (the rest of the settings as given); false with the reason in error.
    bool BootAndIdentify(orielsim::HandsetOptions options, std::string& error,
                         oriel::HandshakeSettings s = {});
    // Runs the loop until the engine is idle again (an operation ended).
    bool RunToIdle(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
        return loop.RunUntil(pred, timeout);
    }

    std::unique_ptr<orielsim::COrielHandset> handset;
    platform::CMemorySettingsStore settings;
    platform::CScriptedPrompts prompts;
    platform::CStdEventLoop loop;
    oriel::CRecordingConsole console;
    oriel::CSerialPort port;
    oriel::CDownloaderSession session{port, console, prompts, &loop};
};

}  // namespace testsupport
