#include "cli/oriel/cli_runner.h"

#include <memory>

#include "oriel/engine/console_view.h"
#include "oriel/link/port_names.h"
#include "oriel/link/serial_port.h"
#include "oriel/ui/downloader_session.h"
#include "platform/qsettings_store.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"

namespace orielcli {

namespace {

constexpr char kOrganisation[] = "ORIEL Tools";
constexpr char kApplication[] = "oriel_downloader";

// The log on stdout as it grows.
class CStreamConsole : public oriel::CRecordingConsole {
  public:
    CStreamConsole(std::FILE* out, bool bQuiet) : m_out(out), m_bQuiet(bQuiet) {}
    void AppendLog(const std::string& text) override {
        CRecordingConsole::AppendLog(text);
        Echo(text);
    }
    void ReplaceLog(const std::string& text) override {
        CRecordingConsole::ReplaceLog(text);
        Echo(text);
    }

  private:
    void Echo(const std::string& text) {
        if (!m_bQuiet) {
            std::fputs(PlainLineEnds(text).c_str(), m_out);
            std::fflush(m_out);
        }
    }
    std::FILE* m_out;
    bool m_bQuiet;
};

}  // namespace

std::string PlainLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out += text[i];
    }
    return out;
}

CCliRunner::CCliRunner(const CliOptions& options, std::FILE* out, std::FILE* err)
    : m_options(options), m_out(out), m_err(err) {}

void CCliRunner::Interrupt() {
    m_bInterrupted = true;
    m_loop.Quit();
}

int CCliRunner::Run() {
    // Port paths: the explicit one, else the dialog's own mapping.
    std::unique_ptr<platform::ISettingsStore> settings;
    const auto nPort = static_cast<uint16_t>(m_options.handshake.nComIndex + 1);
    if (!m_options.strPortPath.empty()) {
        auto memory = std::make_unique<platform::CMemorySettingsStore>();
        memory->SetString("Ports", oriel::PortSettingsKey(nPort), m_options.strPortPath);
        settings = std::move(memory);
    } else if (!m_options.strSettingsFile.empty()) {
        settings = std::make_unique<platform::CQSettingsStore>(m_options.strSettingsFile);
    } else {
        settings = std::make_unique<platform::CQSettingsStore>(kOrganisation, kApplication);
    }

    CStreamConsole console(m_out, m_options.bQuiet);
    platform::CScriptedPrompts prompts;
    prompts.m_fnOnMessage = [this](const platform::CScriptedPrompts::Shown& shown) {
        std::fprintf(m_err, "message: %s\n", shown.text.c_str());
        std::fflush(m_err);
    };
    oriel::CSerialPort port;
    port.SetSettings(settings.get());
    port.SetPrompts(&prompts);
    port.SetMessageSink(&m_loop);
    oriel::CDownloaderSession session(port, console, prompts, &m_loop);
    m_loop.SetMessageHandler(
        [&session](const platform::WindowMessage& m) { session.OnMessage(m); });

    if (!session.Start(m_options.handshake)) {
        return kExitFailed;
    }
    oriel::CDownloaderEngine& engine = session.Engine();
    // The handshake ends identified, in IDLE after a failed row, or stopped.
    const bool bEnded = m_loop.RunUntil(
        [&] {
            return engine.m_bIdentified == 1 || engine.m_nState == oriel::IDLE ||
                   !session.IsConnected();
        },
        std::chrono::seconds(m_options.nTimeoutSeconds));
    int nExit = kExitOk;
    if (m_bInterrupted) {
        std::fprintf(m_err, "interrupted\n");
        nExit = kExitInterrupted;
    } else if (!bEnded) {
        std::fprintf(m_err, "timed out after %d s in state %d\n", m_options.nTimeoutSeconds,
                     static_cast<int>(engine.m_nState));
        nExit = kExitTimeout;
    } else if (engine.m_bIdentified != 1) {
        nExit = kExitFailed;
    } else {
        std::fprintf(m_out, "flash: %s\n", session.Handshake().ChipName().c_str());
    }
    session.Stop();
    std::fflush(m_out);
    return nExit;
}

}  // namespace orielcli
