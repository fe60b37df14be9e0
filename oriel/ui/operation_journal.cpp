#include "oriel/ui/operation_journal.h"

#include <algorithm>

#include "oriel/engine/engine_states.h"
#include "oriel/mfx/mfx_package.h"
#include "oriel/ui/downloader_session.h"
#include "platform/format.h"
#include "platform/history/history_recorder.h"
#include "platform/serial_port_list.h"
#include "platform/version.h"

namespace oriel {

namespace {

// A runaway log (a dump of the whole NAND logs little, but who knows) is
// kept by its end.
constexpr size_t kLogLimit = 16u << 20;

// The boxes that say an operation completed.
bool IsCompletion(const std::string& text) {
    for (const char* done :
         {"Download completed!", "Download All completed!", "Erasing Completed!", "Dump Completed!",
          "NAND-Formatting Completed!", "Verify completed!"}) {
        if (text == done) {
            return true;
        }
    }
    return false;
}

const char* TargetName(int32_t nTarget) {
    switch (nTarget) {
        case kTargetBootLoader:
            return "boot";
        case kTargetMainBinary:
            return "main";
        case kTargetBpEngine:
            return "bp";
        default:
            return "image";
    }
}

// The last line with something on it, without its line end.
std::string LastLine(const std::string& log) {
    size_t end = log.find_last_not_of(" \r\n");
    if (end == std::string::npos) {
        return {};
    }
    const size_t start = log.find_last_of("\r\n", end);
    const std::string line = log.substr(start == std::string::npos ? 0 : start + 1,
                                        end + 1 - (start == std::string::npos ? 0 : start + 1));
    const size_t first = line.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : line.substr(first);
}

}  // namespace

void COperationJournal::Mirror::Append(const std::string& s) {
    text += s;
    if (text.size() > kLogLimit) {
        text.erase(0, text.size() - kLogLimit);
    }
}

void COperationJournal::SetRecorder(history::CHistoryRecorder* pRecorder, std::string strStation,
                                    std::string strFrontEnd) {
    m_pRecorder = pRecorder;
    m_strStation = std::move(strStation);
    m_strFrontEnd = std::move(strFrontEnd);
}

void COperationJournal::SetEndReason(const std::string& strReason) {
    if (m_bOpen && m_strEndReason.empty()) {
        m_strEndReason = strReason;
    }
}

// --- the console, passed on ---

void COperationJournal::AppendLog(const std::string& text) {
    m_console.AppendLog(text);
    if (m_pRecorder != nullptr) {
        m_log.Append(text);
    }
}

void COperationJournal::ReplaceLog(const std::string& text) {
    m_console.ReplaceLog(text);
    if (m_pRecorder != nullptr) {
        m_log.Replace(text);
    }
}

void COperationJournal::SetProgressRange(int32_t nMax) {
    m_console.SetProgressRange(nMax);
    m_nProgressMax = nMax;
}

void COperationJournal::SetProgressPos(int32_t nPos) {
    m_console.SetProgressPos(nPos);
    // The bar starting again: the next image (All Download) or phase (BIN +
    // MFX) begins, the last one done whole; or Stop, part of it done.
    if (m_bOpen && !m_bExplorerJob && nPos < m_nProgressPos) {
        m_nBytesDone += SegmentBytes(m_strEndReason.empty());
    }
    m_nProgressPos = nPos;
}

void COperationJournal::SetFlashId(const std::string& text) {
    m_console.SetFlashId(text);
    m_strFlashId = text;
}

void COperationJournal::ConnectionStarted() {
    m_console.ConnectionStarted();
    m_strPortPath.clear();  // looked up again for this connection
}

int64_t COperationJournal::SegmentBytes(bool bWhole) const {
    if (m_nOperation == OP_NOR_ERASE || m_nOperation == OP_NAND_FORMAT) {
        return 0;  // the bar counts sectors, not bytes
    }
    // The bar moves a sector at a time; a segment done is its whole range.
    int64_t n = m_nProgressMax <= 0 ? m_nProgressPos
                : bWhole            ? m_nProgressMax
                                    : std::min(m_nProgressPos, m_nProgressMax);
    if (m_nOperation == OP_NOR_DUMP) {
        n *= 1024;  // the dump's bar counts KBytes
    }
    return std::max<int64_t>(n, 0);
}

// --- jobs ---

void COperationJournal::FillPort(history::JobRecord& r) {
    const std::string path = m_pSession->Port().DevicePath();
    if (path != m_strPortPath) {
        m_strPortPath = path;
        const std::vector<platform::SerialPortInfo> ports = platform::ListSerialPorts();
        const platform::SerialPortInfo* p = platform::FindPort(ports, path);
        m_strDevice = p != nullptr ? p->strName : path.substr(path.rfind('/') + 1);
        m_strUsbSerial = p != nullptr ? p->usb.strSerial : std::string();
    }
    r.strPort = m_strPortPath;
    r.strDevice = m_strDevice;
    r.strUsbSerial = m_strUsbSerial;
}

void COperationJournal::Open(const std::string& strOperation) {
    m_bOpen = true;
    m_bCompleted = false;
    m_strLastMessage.clear();
    m_strEndReason.clear();
    m_nBytesDone = 0;
    m_nProgressPos = 0;
    m_record = history::JobRecord{};
    history::JobRecord& r = m_record;
    r.strUid = history::NewJobUid();
    r.nStartMs = history::NowUtcMs();
    r.strStation = m_strStation;
    r.strProgram = "oriel_downloader";
    r.strVersion = platform::SuiteVersion();
    r.strFrontEnd = m_strFrontEnd;
    r.strOperation = strOperation;
    r.strFlashId = m_strFlashId.empty() ? m_pSession->Handshake().ChipName() : m_strFlashId;
    FillPort(r);
}

std::string COperationJournal::OperationName(int32_t nOperation) const {
    CNorDownload& d = m_pSession->Download();
    switch (nOperation) {
        case OP_NOR_DOWNLOAD:
            return d.m_bDownloadAll == 1
                       ? std::string("download-all")
                       : std::string("download ") + TargetName(d.m_nDownloadTarget);
        case OP_BIN_THEN_MFX:
            return std::string("bin-mfx-download ") + TargetName(d.m_nDownloadTarget);
        case OP_NOR_ERASE:
            return "erase";
        case OP_NOR_DUMP:
            return "dump";
        case OP_MFX_DOWNLOAD:
            return "mfx-download";
        case OP_NAND_FORMAT:
            return "nand-format";
        case OP_NOR_VERIFY:
            return "verify";
        default:
            return platform::Format("operation %d", static_cast<int>(nOperation));
    }
}

void COperationJournal::AddImagesOf(int32_t nOperation) {
    CNorDownload& d = m_pSession->Download();
    std::vector<history::ImageRef>& images = m_record.images;
    const char* pszTab = d.m_controls.nTab == kTabTamarin2 ? "Tamarin2" : "Alder2";
    if (nOperation == OP_NOR_DOWNLOAD || nOperation == OP_BIN_THEN_MFX) {
        images.push_back(history::SeenImage(TargetName(d.m_nDownloadTarget), d.m_strPath));
        m_record.strProfile = pszTab;
    }
    if (nOperation == OP_MFX_DOWNLOAD || nOperation == OP_BIN_THEN_MFX) {
        const std::string& mfx = m_pSession->Package().m_strMfxPath;
        images.push_back(history::SeenImage("mfx", mfx));
        images.push_back(history::SeenImage("mfx-cfg", CfgPathFor(mfx)));
    }
    if (nOperation == OP_NOR_VERIFY) {
        for (const VerifyItem& item : m_pSession->Verify().Items()) {
            images.push_back(history::SeenImage("image", item.strPath));
        }
        m_record.strProfile = pszTab;
    }
}

void COperationJournal::OperationStarted(int32_t nOperation) {
    if (m_pRecorder == nullptr || m_pSession == nullptr) {
        return;
    }
    if (m_bOpen && !m_bExplorerJob) {
        // All Download's next image belongs to the same job.
        if (nOperation == OP_NOR_DOWNLOAD && m_nOperation == OP_NOR_DOWNLOAD &&
            m_pSession->Download().m_bDownloadAll == 1 && m_record.strOperation == "download-all") {
            AddImagesOf(nOperation);
            return;
        }
        // The last one ended without FinishOperation.
        CloseOperation();
    }
    if (nOperation == OP_NAND_STATUS) {
        return;  // a look at the file system, not a job
    }
    m_nOperation = nOperation;
    Open(OperationName(nOperation));
    AddImagesOf(nOperation);
}

void COperationJournal::OperationMessage(const std::string& text) {
    if (!m_bOpen || m_bExplorerJob) {
        return;
    }
    m_strLastMessage = text;
    if (IsCompletion(text)) {
        m_bCompleted = true;
    }
}

void COperationJournal::OperationFinished() {
    if (m_bOpen && !m_bExplorerJob) {
        CloseOperation();
    }
}

void COperationJournal::AfterWakeUp() {
    if (m_bOpen && !m_bExplorerJob && m_pSession->Engine().m_nState == IDLE) {
        CloseOperation();
    }
}

void COperationJournal::CloseOperation() {
    if (m_bCompleted) {
        Close(true, {}, {});
        return;
    }
    const int32_t nState = m_pSession->Engine().m_nLastWaitState;
    const std::string code =
        platform::Format("%s (%d)", StateName(nState), static_cast<int>(nState));
    const std::string text = !m_strEndReason.empty()     ? m_strEndReason
                             : !m_strLastMessage.empty() ? m_strLastMessage
                                                         : LastLine(m_log.text);
    Close(false, code, text);
}

void COperationJournal::Close(bool bCompleted, const std::string& strCode,
                              const std::string& strText) {
    history::JobRecord& r = m_record;
    r.nEndMs = history::NowUtcMs();
    r.bCompleted = bCompleted;
    r.strFailureCode = strCode;
    r.strFailureText = strText;
    if (!m_bExplorerJob) {
        r.nBytes = m_nBytesDone + SegmentBytes(bCompleted);
        r.strLog = std::move(m_log.text);
        m_log.text.clear();
        if (m_nOperation == OP_NOR_DUMP) {
            const CNorDump& dump = m_pSession->Dump();
            if (bCompleted) {
                r.images.push_back(history::SeenImage("dump", dump.m_strDumpPath));
            } else if (!dump.m_strKeptPath.empty()) {
                r.images.push_back(history::SeenImage("dump-incomplete", dump.m_strKeptPath));
            }
        }
    } else {
        r.strLog = std::move(m_explorerLog.text);
        m_explorerLog.text.clear();
    }
    m_bOpen = false;
    m_bExplorerJob = false;
    m_nProgressPos = 0;
    m_pRecorder->Submit(std::move(m_record));
    m_record = history::JobRecord{};
}

// --- the explorer's transfers ---

void COperationJournal::TransferBegun(const std::string& strHandsetPath,
                                      const std::string& strOutPath) {
    if (m_pRecorder == nullptr || m_pSession == nullptr) {
        return;
    }
    if (m_bOpen) {
        CloseOperation();
    }
    m_nOperation = -1;
    Open(strHandsetPath.empty() ? std::string("nand-dump") : "get " + strHandsetPath);
    m_bExplorerJob = true;
    m_record.images.push_back(history::SeenImage("dump", strOutPath));
}

void COperationJournal::ExplorerLog(const std::string& text, bool bReplace) {
    if (m_pRecorder == nullptr) {
        return;
    }
    if (!bReplace) {
        m_explorerLog.Append(text);
    } else if (!text.starts_with("** Dump!(")) {  // the NAND dump's running count
        m_explorerLog.Replace(text);
    }
}

void COperationJournal::TransferEnded(bool bCompleted, const std::string& strWhy, int64_t nBytes,
                                      const std::string& strState, const std::string& strKeptPath) {
    if (!m_bOpen || !m_bExplorerJob) {
        return;
    }
    // The output file as it now is: whole, or kept under its incomplete name.
    history::ImageRef& out = m_record.images.front();
    if (!bCompleted) {
        out = history::SeenImage("dump-incomplete", strKeptPath);
        if (strKeptPath.empty()) {
            m_record.images.clear();
        }
    } else {
        out = history::SeenImage("dump", out.strPath);
    }
    m_record.nBytes = nBytes;
    Close(bCompleted, bCompleted ? std::string() : strState, strWhy);
}

}  // namespace oriel
