#include "cli/oriel/cli_runner.h"

#include <memory>

#include "cli/oriel/cli_console.h"
#include "cli/oriel/cli_ports.h"
#include "oriel/engine/engine_states.h"
#include "oriel/engine/nor_sectors.h"
#include "oriel/link/serial_port.h"
#include "oriel/mfx/code_page.h"
#include "oriel/mfx/mfx_explorer.h"
#include "oriel/ui/downloader_session.h"
#include "platform/format.h"
#include "platform/history/job_record.h"
#include "platform/scripted_prompts.h"
#include "platform/settings_store.h"

namespace orielcli {

namespace {

// The message box that says a command completed.
const char* CompletionText(CliCommand::Kind kind) {
    switch (kind) {
        case CliCommand::Kind::Download:
            return "Download completed!";
        case CliCommand::Kind::DownloadAll:
            return "Download All completed!";
        case CliCommand::Kind::Erase:
            return "Erasing Completed!";
        case CliCommand::Kind::Dump:
            return "Dump Completed!";
        case CliCommand::Kind::MfxDownload:
        case CliCommand::Kind::BinMfxDownload:
            return "Download completed!";
        case CliCommand::Kind::NandFormat:
            return "NAND-Formatting Completed!";
        case CliCommand::Kind::Verify:
            return "Verify completed!";
        default:
            break;
    }
    return "";
}

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

CCliRunner::Wait CCliRunner::WaitFor(const std::function<bool()>& pred) {
    using Clock = std::chrono::steady_clock;
    m_tLastHeard = Clock::now();
    const auto silence = std::chrono::seconds(m_options.nTimeoutSeconds);
    // The engine waits in WAIT_COMPLETE_ACK for as long as the handset keeps
    // answering wrongly; a run must not.
    Clock::time_point stuckSince{};
    bool bStuck = false;
    for (;;) {
        if (m_loop.RunUntil(pred, std::chrono::milliseconds(200))) {
            return Wait::Done;
        }
        if (m_bInterrupted) {
            return Wait::Interrupted;
        }
        const auto now = Clock::now();
        if (m_pEngine != nullptr && m_pEngine->m_nState == oriel::WAIT_COMPLETE_ACK) {
            if (!bStuck) {
                bStuck = true;
                stuckSince = now;
            }
        } else {
            bStuck = false;
        }
        if (now - m_tLastHeard > silence || (bStuck && now - stuckSince > silence)) {
            return Wait::Timeout;
        }
    }
}

namespace {

std::string EngineState(int32_t nState) {
    return platform::Format("%s (%d)", oriel::StateName(nState), static_cast<int>(nState));
}

std::string ExplorerState(int32_t nState) {
    return platform::Format("%s (%d)", oriel::CMfxExplorer::StateName(nState),
                            static_cast<int>(nState));
}

}  // namespace

int CCliRunner::Ended(Wait wait, const std::string& what, int32_t nState) {
    return Ended(wait, what, EngineState(nState));
}

int CCliRunner::Ended(Wait wait, const std::string& what, const std::string& state) {
    if (wait == Wait::Interrupted) {
        std::fprintf(m_err, "oriel_cli: %s interrupted\n", what.c_str());
        return kExitInterrupted;
    }
    std::fprintf(m_err, "oriel_cli: %s timed out: the handset sent nothing for %d s in state %s\n",
                 what.c_str(), m_options.nTimeoutSeconds, state.c_str());
    return kExitTimeout;
}

int CCliRunner::Failed(CCliConsole& console, const std::string& what, int32_t nState) {
    return Failed(console, what, EngineState(nState));
}

int CCliRunner::Failed(CCliConsole& console, const std::string& what, const std::string& state) {
    std::fprintf(m_err, "oriel_cli: %s failed in state %s: %s\n", what.c_str(), state.c_str(),
                 console.LastLogLine().c_str());
    console.Note("FAILED: " + what);
    return kExitFailed;
}

void CCliRunner::NoteKept(const std::string& strPath) {
    if (!strPath.empty()) {
        std::fprintf(m_err, "oriel_cli: the bytes received are kept in %s\n", strPath.c_str());
    }
}

int CCliRunner::Run() {
    // Port paths: the explicit one, else the dialog's own mapping.
    const std::unique_ptr<platform::ISettingsStore> settings = PortSettings(m_options);

    CCliConsole console(m_out, m_err, m_options.bQuiet);
    std::string error;
    if (!m_options.strLogFile.empty() && !console.OpenLogFile(m_options.strLogFile, error)) {
        std::fprintf(m_err, "oriel_cli: %s\n", error.c_str());
        return kExitUsage;
    }
    platform::CScriptedPrompts prompts;
    m_pPrompts = &prompts;
    prompts.m_fnOnMessage = [&](const platform::CScriptedPrompts::Shown& shown) {
        console.Note("message: " + shown.text);
        if (!m_options.bQuiet) {
            std::fprintf(m_err, "message: %s\n", PlainLineEnds(shown.text).c_str());
            std::fflush(m_err);
        }
    };
    oriel::CSerialPort port;
    port.SetSettings(settings.get());
    port.SetPrompts(&prompts);
    port.SetMessageSink(&m_loop);
    oriel::CDownloaderSession session(port, console, prompts, &m_loop);
    session.Journal().SetRecorder(m_pRecorder, m_strStation, history::kFrontEndCommandLine);
    oriel::CDownloaderEngine& engine = session.Engine();
    m_pEngine = &engine;
    if (!m_options.strCodePage.empty()) {
        oriel::SetAnsiCodePage(m_options.strCodePage);
    }
    m_loop.SetMessageHandler([&](const platform::WindowMessage& m) {
        if (m.nMsg == oriel::WM_COMM_RXCHAR) {
            m_tLastHeard = std::chrono::steady_clock::now();
        }
        session.OnMessage(m);
    });

    if (!session.Start(m_options.handshake)) {
        const platform::PortOpenFailure& why = port.OpenFailure();
        if (why.problem == platform::PortProblem::None) {
            std::fprintf(m_err, "oriel_cli: cannot open the port\n");
        } else {
            std::fprintf(m_err, "oriel_cli: cannot open the port: %s\n",
                         why.Text("\noriel_cli: ").c_str());
        }
        return kExitFailed;
    }
    // The handshake ends identified, in IDLE after a failed row, or stopped.
    const Wait wait = WaitFor([&] {
        return engine.m_bIdentified == 1 || engine.m_nState == oriel::IDLE ||
               !session.IsConnected();
    });
    int nExit = kExitOk;
    if (wait != Wait::Done) {
        nExit = Ended(wait, "handshake", engine.m_nState);
    } else if (engine.m_bIdentified != 1) {
        nExit = Failed(console, "handshake", engine.m_nLastWaitState);
    }
    for (size_t i = 0; nExit == kExitOk && i < m_options.commands.size(); ++i) {
        nExit =
            RunCommand(session, console, m_options.commands[i], i + 1 == m_options.commands.size());
    }
    session.Stop();
    if (nExit != kExitOk) {
        NoteKept(session.Dump().m_strKeptPath);
    }
    std::fflush(m_out);
    return nExit;
}

int CCliRunner::RunCommand(oriel::CDownloaderSession& session, CCliConsole& console,
                           const CliCommand& command, bool bLast) {
    oriel::CDownloaderEngine& engine = session.Engine();
    if (command.kind == CliCommand::Kind::Info) {
        std::fprintf(m_out, "flash: %s\n", session.Handshake().ChipName().c_str());
        console.Note("flash: " + session.Handshake().ChipName());
        return kExitOk;
    }
    if (!session.IsConnected()) {
        std::fprintf(m_err, "oriel_cli: %s: the connection has ended\n", command.Name().c_str());
        return kExitFailed;
    }
    // The three rows of tab "Tamarin2" hold what this command downloads.
    oriel::NorDownloadControls& c = session.Download().m_controls;
    c = {};
    c.nTab = oriel::kTabTamarin2;
    c.bPowerOn = bLast && m_options.bPowerOn &&
                 (command.kind == CliCommand::Kind::Download ||
                  command.kind == CliCommand::Kind::DownloadAll ||
                  command.kind == CliCommand::Kind::MfxDownload ||
                  command.kind == CliCommand::Kind::BinMfxDownload);
    c.bVerify = command.bVerify;
    if (command.UsesExplorer()) {
        return RunExplorerCommand(session, console, command);
    }
    const std::vector<platform::CScriptedPrompts::Shown>& shown = m_pPrompts->m_messages;
    const size_t nShownBefore = shown.size();
    bool bStarted = false;
    switch (command.kind) {
        case CliCommand::Kind::Download:
            c.astrBinPath[static_cast<size_t>(command.nTarget)] = command.files[0];
            if (!command.strAddress.empty()) {
                c.abAddrEnabled[static_cast<size_t>(command.nTarget)] = true;
                c.astrAddr[static_cast<size_t>(command.nTarget)] = command.strAddress;
            }
            console.BeginProgress(command.Name(), 1);
            bStarted = command.nTarget == 1   ? session.Download().DownloadBootLoader()
                       : command.nTarget == 2 ? session.Download().DownloadMainBinary()
                                              : session.Download().DownloadBpEngine();
            break;
        case CliCommand::Kind::DownloadAll:
            for (size_t k = 0; k < 3; ++k) {
                c.astrBinPath[k + 1] = command.files[k];
            }
            console.BeginProgress(command.Name(), 1);
            bStarted = session.Download().DownloadAll();
            break;
        case CliCommand::Kind::Erase:
        case CliCommand::Kind::Dump:
            oriel::g_abSectorSelected.fill(0);
            for (int s : command.sectors) {
                oriel::g_abSectorSelected[static_cast<size_t>(s)] = 1;
            }
            if (command.kind == CliCommand::Kind::Erase) {
                console.BeginProgress(command.Name(), 0);
                bStarted = session.Erase().StartSelected();
            } else {
                console.BeginProgress(command.Name(), 1024);
                bStarted = session.Dump().StartSelected(command.strOutPath);
            }
            break;
        case CliCommand::Kind::MfxDownload:
            session.Package().m_strMfxPath = command.strPackage;
            console.BeginProgress(command.Name(), 1);
            bStarted = session.Mfx().StartMfxDownload();
            break;
        case CliCommand::Kind::BinMfxDownload:
            c.astrBinPath[static_cast<size_t>(command.nTarget)] = command.files[0];
            session.Package().m_strMfxPath = command.strPackage;
            console.BeginProgress(command.Name(), 1);
            bStarted = session.Download().DownloadBinThenMfx(command.nTarget);
            break;
        case CliCommand::Kind::NandFormat:
            m_pPrompts->m_yesNoAnswers.push_back(platform::MsgAnswer::Yes);
            bStarted = session.Nand().StartFormat();
            break;
        case CliCommand::Kind::NandStatus:
            bStarted = session.Nand().StartStatus();
            break;
        case CliCommand::Kind::Verify: {
            const std::string address = command.strAddress.empty()
                                            ? c.astrAddr[static_cast<size_t>(command.nTarget)]
                                            : command.strAddress;
            console.BeginProgress(command.Name(), 1);
            bStarted = session.Verify().Start(
                {{command.files[0],
                  oriel::ParseHexAddress(address.substr(0, 16)) - oriel::kNorBusBase}});
            break;
        }
        default:
            break;
    }
    if (!bStarted) {
        console.EndProgress(false);
        return Failed(console, command.Name(), engine.m_nState);
    }
    const Wait wait =
        WaitFor([&] { return engine.m_nState == oriel::IDLE || !session.IsConnected(); });
    if (wait != Wait::Done) {
        console.EndProgress(false);
        return Ended(wait, command.Name(), engine.m_nState);
    }
    // Completion is the operation's own "completed" box (or, for the status,
    // its result: the status starts a fresh log), nothing less.
    const std::string done = CompletionText(command.kind);
    bool bCompleted = command.kind == CliCommand::Kind::NandStatus
                          ? console.m_strLog.find("< Result >") != std::string::npos
                          : shown.size() > nShownBefore && shown.back().text == done;
    if (command.bVerify) {
        // The download's own box, then the verification's.
        bool bDownloaded = false;
        for (size_t k = nShownBefore; k < shown.size(); ++k) {
            bDownloaded = bDownloaded || shown[k].text == done;
        }
        bCompleted = bDownloaded && shown.back().text == CompletionText(CliCommand::Kind::Verify);
    }
    console.EndProgress(bCompleted);
    if (!bCompleted) {
        return Failed(console, command.Name(), engine.m_nLastWaitState);
    }
    return kExitOk;
}

namespace {

// The explorer's view on a stream: its log with the main log, its progress
// on the bar; the per-block "Dump!" texts only move the bar.
class CCliExplorerView : public oriel::IExplorerView {
  public:
    explicit CCliExplorerView(CCliConsole& console) : m_console(console) {}
    void ExpLog(const std::string& text) override {
        m_strLog += text;
        m_console.AppendLog(text);
    }
    void ExpReplaceLog(const std::string& text) override {
        if (text.starts_with("** Dump!(")) {
            return;
        }
        m_strLog += text;
        m_console.AppendLog(text);
    }
    void TreeItemAdded(int32_t, int32_t, const std::string&) override {}
    void TreeItemExpanded(int32_t) override {}
    void FileListCleared() override {}
    void FileAdded(const std::string&) override {}
    void SetProgressRange(int32_t n) override { m_console.SetProgressRange(n); }
    void SetProgressPos(int32_t n) override { m_console.SetProgressPos(n); }
    void EnableControls(bool) override {}
    void EnableTree(bool) override {}
    void ExplorerClosed() override { m_bClosed = true; }

    std::string m_strLog;
    bool m_bClosed = false;

  private:
    CCliConsole& m_console;
};

}  // namespace

int CCliRunner::RunExplorerCommand(oriel::CDownloaderSession& session, CCliConsole& console,
                                   const CliCommand& command) {
    CCliExplorerView view(console);
    oriel::CMfxExplorer exp(session.Port(), session.Prompts(), view);
    exp.SetTransferObserver(&session.Journal());
    // The explorer takes the receive wake-ups while it is open, and gives
    // them back on every way out. A port that goes away ends the command at
    // once; the transfer's bytes are kept.
    session.TakeOverReceive([&exp] { exp.OnExplorerRx(); },
                            [&exp] { exp.AbandonTransfer("the handset's port went away"); });
    struct GiveBack {
        oriel::CDownloaderSession& s;
        ~GiveBack() { s.GiveBackReceive(); }
    } giveBack{session};

    const std::string& path = command.strHandsetPath;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    exp.Open();
    Wait wait = WaitFor([&] { return exp.Idle() || !session.IsConnected(); });
    if (wait != Wait::Done) {
        return Ended(wait, command.Name(), ExplorerState(exp.State()));
    }
    if (!session.IsConnected()) {
        return Failed(console, command.Name(), ExplorerState(exp.LastWaitState()));
    }
    bool bOk = view.m_strLog.find("Read directory OK!") != std::string::npos;
    const size_t nShownBefore = m_pPrompts->m_messages.size();
    const std::string target = command.kind == CliCommand::Kind::Ls ? path : dir;
    if (bOk && target != "/" && command.kind != CliCommand::Kind::NandDump) {
        // Reach the directory: list it (the root is listed on opening).
        view.m_strLog.clear();
        exp.ListDirectory(exp.ItemForPath(target));
        wait = WaitFor([&] { return exp.Idle() || !session.IsConnected(); });
        if (wait != Wait::Done) {
            return Ended(wait, command.Name(), ExplorerState(exp.State()));
        }
        if (!session.IsConnected()) {
            return Failed(console, command.Name(), ExplorerState(exp.LastWaitState()));
        }
        bOk = view.m_strLog.find("Read directory OK!") != std::string::npos;
    }
    if (bOk) {
        view.m_strLog.clear();
        switch (command.kind) {
            case CliCommand::Kind::Ls:
                for (int32_t child : exp.Children(exp.ItemForPath(target))) {
                    std::fprintf(m_out, "dir  %s\n", exp.ItemText(child).c_str());
                }
                for (const std::string& file : exp.Files()) {
                    std::fprintf(m_out, "file %s\n", file.c_str());
                }
                break;
            case CliCommand::Kind::Get:
                m_pPrompts->m_saveAnswers.push_back(command.strOutPath);
                console.BeginProgress(command.Name(), 1);
                exp.DumpSelectedFile(name);
                break;
            case CliCommand::Kind::Rm:
                m_pPrompts->m_yesNoAnswers.push_back(platform::MsgAnswer::Yes);
                exp.DeleteSelectedFile(name);
                break;
            case CliCommand::Kind::Stat:
                exp.ShowFileStatus(name);
                break;
            case CliCommand::Kind::NandDump:
                m_pPrompts->m_saveAnswers.push_back(command.strOutPath);
                console.BeginProgress(command.Name(), 1);
                exp.DumpWholeNand();
                break;
            default:
                break;
        }
        wait = WaitFor([&] { return exp.Idle() || !session.IsConnected(); });
        if (wait != Wait::Done) {
            console.EndProgress(false);
            const int32_t nState = exp.State();
            exp.AbandonTransfer(wait == Wait::Interrupted ? "interrupted" : "timed out");
            NoteKept(exp.KeptPath());
            return Ended(wait, command.Name(), ExplorerState(nState));
        }
        if (!session.IsConnected()) {
            console.EndProgress(false);
            NoteKept(exp.KeptPath());
            return Failed(console, command.Name(), ExplorerState(exp.LastWaitState()));
        }
        const auto& shown = m_pPrompts->m_messages;
        const bool bNewBox = shown.size() > nShownBefore;
        switch (command.kind) {
            case CliCommand::Kind::Get:
                bOk = bNewBox && shown.back().text == "Dump Completed!";
                break;
            case CliCommand::Kind::Rm:
                bOk = view.m_strLog.find("... OK!") != std::string::npos &&
                      view.m_strLog.find("Read directory OK!") != std::string::npos;
                break;
            case CliCommand::Kind::Stat:
                bOk = view.m_strLog.find("*File size :") != std::string::npos;
                break;
            case CliCommand::Kind::NandDump:
                bOk = view.m_strLog.find("** NAND FULL DUMP Completed! **") != std::string::npos &&
                      exp.KeptPath().empty();
                break;
            default:
                break;
        }
        console.EndProgress(bOk);
    }
    const std::string failedIn = ExplorerState(exp.LastWaitState());
    if (!bOk) {
        NoteKept(exp.KeptPath());
    }
    // Unmount and close, whatever happened. An unmount that is not answered
    // as it should be fails every command alike: the handset's file system
    // may still be mounted.
    exp.CloseExplorer();
    const Wait closed = WaitFor([&] { return view.m_bClosed; });
    if (!bOk) {
        return Failed(console, command.Name(), failedIn);
    }
    if (closed != Wait::Done) {
        return Ended(closed, command.Name() + " (unmount)", ExplorerState(exp.State()));
    }
    if (!exp.UnmountAcknowledged()) {
        return Failed(console, command.Name() + " (unmount)",
                      ExplorerState(oriel::CMfxExplorer::EXP_UNMOUNT));
    }
    return kExitOk;
}

}  // namespace orielcli
