#include "oriel/mfx/mfx_explorer.h"

#include <cstdio>

#include "oriel/engine/time_log.h"
#include "oriel/link/serial_port.h"
#include "oriel/mfx/code_page.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace oriel {

namespace {

constexpr uint8_t kCmdSync = 0xD9;
constexpr uint8_t kCmdMount = 0xDA;
constexpr uint8_t kCmdList = 0xE5;
constexpr uint8_t kMoreEntries = 0xCB;
constexpr uint8_t kEndOfDirectory = 0xE7;
constexpr uint8_t kListError = 0xE6;
constexpr uint8_t kCmdRead = 0xE8;
constexpr uint8_t kFileFound = 0xE9;
constexpr uint8_t kCmdStartData = 0xEA;
constexpr uint8_t kChunkGood = 0x01;
constexpr uint8_t kChunkBad = 0x00;
constexpr uint8_t kCmdDelete = 0xEE;
constexpr uint8_t kCmdStatus = 0xF0;
constexpr uint8_t kStatusFollows = 0xF1;
constexpr uint8_t kCmdFullDump = 0xC0;
constexpr uint8_t kBlockGood = 0xC1;
constexpr uint8_t kBlockBad = 0xC2;
constexpr uint8_t kDumpDone = 0xC3;
constexpr uint8_t kCmdUnmount = 0xE4;
constexpr uint8_t kTypeFile = 1;
constexpr uint8_t kTypeDirectory = 2;
constexpr int32_t kFileChunk = 8192;
constexpr int32_t kDumpBlock = 2048;
constexpr size_t kMaxListPath = 255;
constexpr size_t kMaxFilePath = 507;
constexpr char kHexFilter[] = "Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||";
constexpr char kSaveFilter[] = "Save File (*.hex)|*.hex|All Files (*.*)|*.*||";

uint32_t Be32At(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

CMfxExplorer::CMfxExplorer(CSerialPort& port, platform::IPrompts& prompts, IExplorerView& view)
    : m_port(port), m_prompts(prompts), m_view(view), m_fnNow([] { return std::time(nullptr); }) {
    m_abyChunk.resize(kFileChunk);
}

void CMfxExplorer::CObservedView::ExpLog(const std::string& text) {
    m_view.ExpLog(text);
    if (m_pObserver != nullptr) {
        m_pObserver->ExplorerLog(text, false);
    }
}

void CMfxExplorer::CObservedView::ExpReplaceLog(const std::string& text) {
    m_view.ExpReplaceLog(text);
    if (m_pObserver != nullptr) {
        m_pObserver->ExplorerLog(text, true);
    }
}

void CMfxExplorer::TransferEnded(bool bCompleted, const std::string& strWhy) {
    if (m_view.m_pObserver != nullptr) {
        m_view.m_pObserver->TransferEnded(bCompleted, strWhy, m_nReadDone,
                                          StateName(m_nLastWaitState), m_strKeptPath);
    }
}

const char* CMfxExplorer::StateName(int32_t nState) {
    switch (nState) {
        case EXP_SYNC:
            return "EXP_SYNC";
        case EXP_MOUNT:
            return "EXP_MOUNT";
        case EXP_ENTRY_LENGTH:
            return "EXP_ENTRY_LENGTH";
        case EXP_ENTRY:
            return "EXP_ENTRY";
        case EXP_ENTRY_NEXT:
            return "EXP_ENTRY_NEXT";
        case EXP_FILE_FOUND:
            return "EXP_FILE_FOUND";
        case EXP_FILE_SIZE:
            return "EXP_FILE_SIZE";
        case EXP_FILE_DATA:
            return "EXP_FILE_DATA";
        case EXP_DELETE:
            return "EXP_DELETE";
        case EXP_STATUS_FOLLOWS:
            return "EXP_STATUS_FOLLOWS";
        case EXP_STATUS:
            return "EXP_STATUS";
        case EXP_DUMP_START:
            return "EXP_DUMP_START";
        case EXP_DUMP_BLOCK:
            return "EXP_DUMP_BLOCK";
        case EXP_DUMP_END:
            return "EXP_DUMP_END";
        case EXP_UNMOUNT:
            return "EXP_UNMOUNT";
        case EXP_LIST_FAILED:
            return "EXP_LIST_FAILED";
        case EXP_IDLE:
            return "EXP_IDLE";
        default:
            return "?";
    }
}

void CMfxExplorer::Send(const uint8_t* p, size_t n) {
    m_port.Send(p, n);
}

int32_t CMfxExplorer::AddChild(int32_t nParent, const std::string& text) {
    const auto id = static_cast<int32_t>(m_nodes.size());
    m_nodes.push_back({text, nParent, {}});
    m_nodes[static_cast<size_t>(nParent)].children.push_back(id);
    m_view.TreeItemAdded(id, nParent, text);
    return id;
}

void CMfxExplorer::Open() {
    m_nodes.clear();
    m_nodes.push_back({"/", -1, {}});
    m_view.TreeItemAdded(kRootItem, -1, "/");
    m_nCurItem = kRootItem;
    m_strDirPath = m_strFileDir = "/";
    m_bFileOpen = 0;
    m_files.clear();
    m_strKeptPath.clear();
    m_nExpState = EXP_SYNC;
    SendByte(kCmdSync);
}

void CMfxExplorer::OnExplorerRx() {
    uint8_t by = 0;
    while (m_port.Pop(by)) {
        Step(by);
    }
}

std::string CMfxExplorer::PathOf(int32_t nItem) const {
    std::string path = m_nodes[static_cast<size_t>(nItem)].text;
    for (int32_t p = m_nodes[static_cast<size_t>(nItem)].parent; p >= 0;
         p = m_nodes[static_cast<size_t>(p)].parent) {
        const std::string& t = m_nodes[static_cast<size_t>(p)].text;
        path = t + (t.ends_with("/") ? "" : "/") + path;
    }
    return path;
}

int32_t CMfxExplorer::ItemForPath(const std::string& path) {
    if (m_nodes.empty()) {
        return -1;
    }
    int32_t item = kRootItem;
    size_t pos = 0;
    while (pos < path.size()) {
        const size_t slash = path.find('/', pos);
        const std::string part =
            path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        pos = slash == std::string::npos ? path.size() : slash + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        int32_t found = -1;
        for (int32_t c : m_nodes[static_cast<size_t>(item)].children) {
            if (m_nodes[static_cast<size_t>(c)].text == part) {
                found = c;
            }
        }
        item = found >= 0 ? found : AddChild(item, part);
    }
    return item;
}

bool CMfxExplorer::ConvertPath(std::string& utf8, int& nLength) {
    if (AnsiToUtf8(m_szFilePath, utf8, nLength, kExplorerNameCap) != NameConversion::Ok) {
        m_view.ExpLog("MultibyteToUTF8 ERROR");
        return false;
    }
    return true;
}

void CMfxExplorer::SendPathRequest(uint8_t byCommand, const std::string& utf8) {
    const auto n = static_cast<uint16_t>(utf8.size());
    const uint8_t head[3] = {byCommand, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    Send(head, sizeof head);
    Send(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size());
}

void CMfxExplorer::StartListing(const std::string& strWirePath, bool bSkipDirs) {
    m_nExpState = EXP_ENTRY_LENGTH;
    m_view.EnableControls(false);
    std::vector<uint8_t> req{kCmdList, static_cast<uint8_t>(strWirePath.size())};
    req.insert(req.end(), strWirePath.begin(), strWirePath.end());
    Send(req.data(), req.size());
    m_files.clear();
    m_view.FileListCleared();
    m_bSkipDirs = bSkipDirs ? 1 : 0;
}

void CMfxExplorer::ListDirectory(int32_t nItem) {
    if (!Idle() || nItem < 0 || nItem >= static_cast<int32_t>(m_nodes.size())) {
        return;
    }
    const std::string path = PathOf(nItem);
    m_view.ExpReplaceLog(platform::Format("\r\nSearching the files (in '%s')... ", path.c_str()));
    std::string utf8;
    int nLength = 0;
    // A listing refused here leaves the shown files and the directory they
    // are in as they were, so a command on a shown file names its real path.
    if (AnsiToUtf8(path, utf8, nLength, kExplorerNameCap) != NameConversion::Ok) {
        m_view.ExpLog("MultibyteToUTF8 ERROR");
        m_nExpState = EXP_IDLE;
        return;
    }
    if (static_cast<size_t>(nLength) > kMaxListPath) {
        m_view.ExpLog(platform::Format("**UTF8 length error(%d) **\r\n", nLength));
        m_nExpState = EXP_IDLE;
        return;
    }
    m_strDirPath = m_strFileDir = path;
    m_nCurItem = nItem;
    StartListing(utf8, !m_nodes[static_cast<size_t>(nItem)].children.empty());
}

bool CMfxExplorer::FilePath(const std::string& name) {
    if (!Idle() || name.empty()) {
        return false;
    }
    const std::string path = m_strFileDir + (m_strFileDir.ends_with("/") ? "" : "/") + name;
    if (path.size() > kMaxFilePath) {
        return false;
    }
    m_szFilePath = path;
    return true;
}

void CMfxExplorer::Step(uint8_t by) {
    if (!Idle()) {
        m_nLastWaitState = m_nExpState;
    }
    switch (m_nExpState) {
        case EXP_SYNC:
            m_view.ExpLog("\r\n** Mounting MFX system... ");
            SendByte(kCmdMount);
            m_nExpState = EXP_MOUNT;
            break;
        case EXP_MOUNT:
            if (by != kCmdMount) {
                m_view.ExpLog(platform::Format("Fail! (0x%X)\r\n", by));
                m_nExpState = EXP_IDLE;
                break;
            }
            m_view.ExpLog("OK!\r\n");
            m_view.ExpLog("Searching the files... ");
            m_nCurItem = kRootItem;
            // The root goes out as "/" alone, without its zero byte.
            StartListing("/", !m_nodes[kRootItem].children.empty());
            break;
        case EXP_ENTRY_LENGTH:
            m_nEntryLen = by + 1;
            m_nEntryPos = 0;
            m_nExpState = EXP_ENTRY;
            break;
        case EXP_ENTRY:
            m_abyEntry[static_cast<size_t>(m_nEntryPos++)] = by;
            if (m_nEntryPos == m_nEntryLen) {
                OnEntry();
            }
            break;
        case EXP_ENTRY_NEXT:
            if (by == kMoreEntries) {
                m_nExpState = EXP_ENTRY_LENGTH;
            } else if (by == kEndOfDirectory) {
                m_view.ExpLog("\r\n Read directory OK!\r\n");
                m_view.EnableControls(true);
                m_nExpState = EXP_IDLE;
            } else if (by == kListError) {
                m_view.EnableTree(true);
                m_view.ExpLog("ERROR in reading File name!\r\n");
                m_nExpState = EXP_LIST_FAILED;
            } else {
                m_view.ExpLog(platform::Format("Unknown FILE name receive error!(%x)\r\n", by));
                m_nExpState = EXP_IDLE;
            }
            break;
        case EXP_FILE_FOUND:
            if (by == kFileFound) {
                m_nSizePos = 0;
                m_nExpState = EXP_FILE_SIZE;
            } else {
                m_view.EnableControls(true);
                m_nExpState = EXP_IDLE;
                m_view.ExpLog(platform::Format("File size read Fail! (0x%X)\r\n", by));
            }
            break;
        case EXP_FILE_SIZE:
        case EXP_FILE_DATA:
            OnFileByte(by);
            break;
        case EXP_DELETE:
            if (by != kCmdDelete) {
                m_view.ExpLog(platform::Format("Delete Fail! (0x%X)\r\n", by));
                m_nExpState = EXP_IDLE;
                break;
            }
            m_view.ExpLog("OK!\r\n");
            m_view.ExpLog(
                platform::Format("\r\nSearching the files (in '%s')... ", m_strDirPath.c_str()));
            // The stored path, as it is: without a zero byte.
            StartListing(m_strDirPath.substr(0, kMaxListPath),
                         !m_nodes[static_cast<size_t>(m_nCurItem)].children.empty());
            break;
        case EXP_STATUS_FOLLOWS:
            if (by == kStatusFollows) {
                m_nStatPos = 0;
                m_nExpState = EXP_STATUS;
            } else {
                m_view.EnableControls(true);
                m_view.ExpLog(platform::Format("Fail! (0x%X)\r\n", by));
                m_nExpState = EXP_IDLE;
            }
            break;
        case EXP_STATUS:
            m_abyStat[static_cast<size_t>(m_nStatPos++)] = by;
            if (m_nStatPos == static_cast<int32_t>(m_abyStat.size())) {
                PrintStatus();
                m_nExpState = EXP_IDLE;
                m_view.EnableControls(true);
            }
            break;
        case EXP_DUMP_START:
            if (by != kBlockGood) {
                m_view.ExpLog(platform::Format(" DUMP ERROR Fail!(0x%X)\r\n", by));
                SetAside("refused");
                m_nExpState = EXP_IDLE;
                break;
            }
            m_view.EnableControls(false);
            m_view.ExpReplaceLog("** Start Dump!\n  Wait!!!!!!! Long time \n");
            m_nReadDone = 0;
            m_view.SetProgressRange(static_cast<int32_t>(kNandDumpBytes));
            m_nChunkPos = 0;
            m_byExpSum = 0;
            m_nExpState = EXP_DUMP_BLOCK;
            break;
        case EXP_DUMP_BLOCK:
            OnDumpByte(by);
            break;
        case EXP_DUMP_END:
            if (by == kDumpDone) {
                m_view.ExpLog("** NAND FULL DUMP Completed! **\r\n");
                const bool bWhole = m_fileOut.Commit();
                if (bWhole) {
                    m_bFileOpen = 0;
                    m_strOutPath.clear();
                } else {
                    SetAside("cannot write the file");
                }
                m_tDumpEnd = m_fnNow();
                m_view.ExpLog(FormatSpan("\r\n** Dump Time %M:%S **\r\n",
                                         static_cast<int64_t>(m_tDumpEnd - m_tDumpStart)));
                m_view.ExpLog(platform::Format("** (Total %d bytes) **\r\n", m_nReadDone));
                if (bWhole) {
                    TransferEnded(true, {});
                }
                m_view.EnableControls(true);
            } else {
                m_view.ExpLog("** NAND FULL DUMP ERROR! **\r\n");
                SetAside("the handset reported an error");
            }
            m_nExpState = EXP_IDLE;
            break;
        case EXP_UNMOUNT:
            m_bUnmountAcked = by == kCmdUnmount;
            if (!m_bUnmountAcked) {
                m_view.ExpLog(platform::Format("Fail!(0x%X)\r\n", by));
            }
            m_nExpState = EXP_IDLE;
            m_view.ExplorerClosed();
            break;
        case EXP_LIST_FAILED:
            m_view.ExpLog(platform::Format("Fail!(0x%X)\r\n", by));
            break;
        default:
            break;
    }
}

void CMfxExplorer::OnEntry() {
    // Echo the type byte: the handset sends the next entry after it.
    const uint8_t type = m_abyEntry[0];
    SendByte(type);
    m_nExpState = EXP_ENTRY_NEXT;
    std::string utf8(reinterpret_cast<const char*>(m_abyEntry.data() + 1),
                     static_cast<size_t>(m_nEntryLen - 1));
    const size_t zero = utf8.find('\0');
    if (zero != std::string::npos) {
        utf8.resize(zero);
    }
    // An entry without a name is none the operator could act on; in the tree
    // it would stand for its own parent's path.
    if ((type != kTypeFile && type != kTypeDirectory) || utf8.empty()) {
        return;
    }
    std::string name;
    if (Utf8ToAnsi(utf8, name) != NameConversion::Ok) {
        m_view.ExpLog("MultibyteToUTF8 ERROR");
        return;
    }
    if (type == kTypeFile) {
        m_view.ExpLog(platform::Format("%s\r\n", name.c_str()));
        m_files.push_back(name);
        m_view.FileAdded(name);
    } else if (!name.starts_with(".") && m_bSkipDirs == 0) {
        AddChild(m_nCurItem, name);
        m_view.TreeItemExpanded(m_nCurItem);
    }
}

void CMfxExplorer::DumpSelectedFile(const std::string& name) {
    if (!FilePath(name)) {
        return;
    }
    m_view.ExpLog(platform::Format("\r\n Reading the file '%s'... ", m_szFilePath.c_str()));
    m_view.EnableControls(false);
    std::string utf8;
    int nLength = 0;
    if (!ConvertPath(utf8, nLength) || static_cast<size_t>(nLength) > kExplorerNameCap) {
        m_nExpState = EXP_IDLE;
        m_view.ExpLog(platform::Format("**File name is too long(%s) **\r\n", m_szFilePath.c_str()));
        m_view.EnableControls(true);
        return;
    }
    SendPathRequest(kCmdRead, utf8);
    m_nExpState = EXP_FILE_FOUND;
}

void CMfxExplorer::DumpFile(size_t nIndex) {
    if (nIndex < m_files.size()) {
        DumpSelectedFile(std::string(m_files[nIndex]));
    }
}

void CMfxExplorer::DeleteFile(size_t nIndex) {
    if (nIndex < m_files.size()) {
        DeleteSelectedFile(std::string(m_files[nIndex]));
    }
}

void CMfxExplorer::ShowStatus(size_t nIndex) {
    if (nIndex < m_files.size()) {
        ShowFileStatus(std::string(m_files[nIndex]));
    }
}

void CMfxExplorer::NextChunk() {
    m_nChunkLen = m_nReadRemaining < kFileChunk ? m_nReadRemaining : kFileChunk;
    m_nReadRemaining -= m_nChunkLen;
    m_bLastReadChunk = m_nReadRemaining == 0 ? 1 : 0;
    m_nChunkPos = 0;
    m_byExpSum = 0;
}

void CMfxExplorer::OnFileByte(uint8_t by) {
    if (m_nExpState == EXP_FILE_SIZE) {
        m_abySize[static_cast<size_t>(m_nSizePos++)] = by;
        if (m_nSizePos < 4) {
            return;
        }
        const uint32_t size = Be32At(m_abySize.data());
        m_view.ExpLog(platform::Format("\r\nSize: %d bytes\r\n", static_cast<int32_t>(size)));
        if (size > INT32_MAX) {
            // No file of the handset's is that large; the reply is garbled.
            m_view.EnableControls(true);
            m_nExpState = EXP_IDLE;
            m_view.ExpLog(platform::Format("File size read Fail! (0x%X)\r\n", size));
            return;
        }
        platform::FileDialogRequest request;
        request.strDefaultExt = ".hex";
        request.strFilter = kHexFilter;
        request.bPromptOverwrite = true;
        const std::string out = m_prompts.SaveFile(request);
        if (out.empty()) {
            m_view.EnableControls(true);
            m_nExpState = EXP_IDLE;
            m_prompts.MessageBox("No file selected!", platform::MsgButtons::Ok,
                                 platform::MsgIcon::None);
            return;
        }
        if (!m_fileOut.Create(out)) {
            m_view.EnableControls(true);
            m_nExpState = EXP_IDLE;
            m_prompts.MessageBox("Internal Error! (file creation)", platform::MsgButtons::Ok,
                                 platform::MsgIcon::None);
            return;
        }
        m_strOutPath = out;
        m_strKeptPath.clear();
        if (m_view.m_pObserver != nullptr) {
            m_view.m_pObserver->TransferBegun(m_szFilePath, out);
        }
        m_view.ExpLog("** Dumping MFX File **\r\n");
        m_bFileOpen = 1;
        m_nReadDone = 0;
        m_nReadSize = static_cast<int32_t>(size);
        m_view.SetProgressRange(m_nReadSize);
        m_nReadRemaining = m_nReadSize;
        NextChunk();
        m_nExpState = EXP_FILE_DATA;
        SendByte(kCmdStartData);
        return;
    }
    if (m_nChunkPos < m_nChunkLen) {
        m_abyChunk[static_cast<size_t>(m_nChunkPos++)] = by;
        m_byExpSum = static_cast<uint8_t>(m_byExpSum + by);
        return;
    }
    // The byte after the chunk is its check byte.
    const bool bGood = by == m_byExpSum;
    const bool bWritten =
        bGood && m_fileOut.Write(m_abyChunk.data(), static_cast<size_t>(m_nChunkLen));
    if (!bWritten) {
        SendByte(kChunkBad);
        m_view.ExpLog(bGood ? "** Fail to write the file **\r\n" : "Checksum mismatched!\r\n");
        SetAside(bGood ? "cannot write the file" : "checksum mismatch");
        m_nExpState = EXP_IDLE;
        m_view.EnableControls(true);
        m_prompts.MessageBox(bGood ? "Internal Error! (file write)" : "Checksum Mismatched!",
                             platform::MsgButtons::Ok, platform::MsgIcon::None);
        return;
    }
    m_nReadDone += m_nChunkLen;
    m_view.SetProgressPos(m_nReadDone);
    SendByte(kChunkGood);
    if (m_bLastReadChunk == 0) {
        NextChunk();
        return;
    }
    m_nExpState = EXP_IDLE;
    m_view.EnableControls(true);
    if (m_fileOut.Commit()) {
        m_bFileOpen = 0;
        m_strOutPath.clear();
    } else {
        SetAside("cannot write the file");
        m_prompts.MessageBox("Internal Error! (file write)", platform::MsgButtons::Ok,
                             platform::MsgIcon::None);
        return;
    }
    m_view.ExpLog("** Dump Completed! **\r\n");
    TransferEnded(true, {});
    m_prompts.MessageBox("Dump Completed!", platform::MsgButtons::Ok, platform::MsgIcon::None);
}

void CMfxExplorer::SetAside(const char* why) {
    if (m_bFileOpen == 0) {
        return;
    }
    m_bFileOpen = 0;
    // The bytes received stay, under a name that says they are not the file.
    m_strKeptPath = m_fileOut.KeepIncomplete();
    m_view.ExpLog(platform::Format("** Transfer FAILED (%s): %d bytes kept in %s **\r\n", why,
                                   m_nReadDone, m_strKeptPath.c_str()));
    m_strOutPath.clear();
    TransferEnded(false, why);
}

void CMfxExplorer::DeleteSelectedFile(const std::string& name) {
    if (!FilePath(name)) {
        return;
    }
    if (m_prompts.MessageBox("Sure to Delete?", platform::MsgButtons::YesNo,
                             platform::MsgIcon::Question) != platform::MsgAnswer::Yes) {
        return;
    }
    m_view.ExpLog(platform::Format("\r\nDeleting the file '%s'... ", m_szFilePath.c_str()));
    std::string utf8;
    int nLength = 0;
    if (!ConvertPath(utf8, nLength)) {
        m_nExpState = EXP_IDLE;
        return;
    }
    m_view.EnableControls(false);
    m_nExpState = EXP_DELETE;
    SendPathRequest(kCmdDelete, utf8);
}

void CMfxExplorer::ShowFileStatus(const std::string& name) {
    if (!FilePath(name)) {
        return;
    }
    m_view.ExpReplaceLog(
        platform::Format("\r\n Reading the file status '%s'... \n", m_szFilePath.c_str()));
    m_view.ExpLog("---------------------------- \n");
    m_view.EnableControls(false);
    std::string utf8;
    int nLength = 0;
    if (!ConvertPath(utf8, nLength)) {
        m_nExpState = EXP_IDLE;
        m_view.ExpLog(platform::Format("**File name is too long(%s) **\r\n", m_szFilePath.c_str()));
        m_view.EnableControls(true);
        return;
    }
    SendPathRequest(kCmdStatus, utf8);
    m_nExpState = EXP_STATUS_FOLLOWS;
}

void CMfxExplorer::PrintStatus() {
    const uint8_t* r = m_abyStat.data();
    auto s16 = [](const uint8_t* p) {
        return static_cast<unsigned>(
            static_cast<int32_t>(static_cast<int16_t>((p[0] << 8) | p[1])));
    };
    auto dateTime = [](uint32_t v) {
        return platform::Format("%04lu:%02lu:%02lu %02lu:%02lu:%02lu \r\n",
                                static_cast<unsigned long>((v >> 25) + 1980),
                                static_cast<unsigned long>((v >> 21) & 0xF),
                                static_cast<unsigned long>((v >> 16) & 0x1F),
                                static_cast<unsigned long>((v >> 11) & 0x1F),
                                static_cast<unsigned long>((v >> 5) & 0x3F),
                                static_cast<unsigned long>(v & 0x1F));
    };
    const uint32_t access = Be32At(r + 16);
    std::string out = platform::Format("\n*File mode : 0x%x \r\n", Be32At(r));
    out += platform::Format("*File i node : 0x%x \r\n", Be32At(r + 4));
    out += platform::Format("*File dev ID: 0x%x \r\n", s16(r + 8));
    out += platform::Format("*File dummy entry : 0x%x \r\n", s16(r + 10));
    out += platform::Format("*File size : %d byte\r\n", static_cast<int32_t>(Be32At(r + 12)));
    out += platform::Format("*File last access time : 0x%x \r\n", access);
    out += platform::Format(
        "%04lu:%02lu:%02lu \r\n", static_cast<unsigned long>((access >> 9) + 1980),
        static_cast<unsigned long>((access >> 5) & 0xF), static_cast<unsigned long>(access & 0x1F));
    out += platform::Format("*File last modification time : 0x%x \r\n", Be32At(r + 20));
    out += dateTime(Be32At(r + 20));
    out += platform::Format("*File last status change time : 0x%x \r\n", Be32At(r + 24));
    out += dateTime(Be32At(r + 24));
    m_view.ExpLog(out);
}

void CMfxExplorer::DumpWholeNand() {
    if (!Idle()) {
        return;
    }
    platform::FileDialogRequest request;
    request.strDefaultExt = ".hex";
    request.strFilter = kSaveFilter;
    request.bPromptOverwrite = true;
    const std::string out = m_prompts.SaveFile(request);
    if (out.empty()) {
        m_prompts.MessageBox("No file selected", platform::MsgButtons::Ok, platform::MsgIcon::None);
        return;
    }
    if (!m_fileOut.Create(out)) {
        m_prompts.MessageBox("File Open Error!", platform::MsgButtons::Ok, platform::MsgIcon::None);
        return;
    }
    m_bFileOpen = 1;
    m_strOutPath = out;
    m_strKeptPath.clear();
    m_nReadDone = 0;
    m_tDumpStart = m_fnNow();
    if (m_view.m_pObserver != nullptr) {
        m_view.m_pObserver->TransferBegun({}, out);
    }
    m_nExpState = EXP_DUMP_START;
    SendByte(kCmdFullDump);
}

void CMfxExplorer::OnDumpByte(uint8_t by) {
    if (m_nChunkPos < kDumpBlock) {
        m_abyChunk[static_cast<size_t>(m_nChunkPos++)] = by;
        m_byExpSum = static_cast<uint8_t>(m_byExpSum + by);
        return;
    }
    const bool bGood = by == m_byExpSum;
    if (!bGood || !m_fileOut.Write(m_abyChunk.data(), kDumpBlock)) {
        SendByte(kBlockBad);
        m_view.ExpLog(bGood ? "** Fail to write the file **\r\n" : "Dump Checksum mismatched!\r\n");
        SetAside(bGood ? "cannot write the file" : "checksum mismatch");
        m_nExpState = EXP_IDLE;
        m_prompts.MessageBox(bGood ? "Internal Error! (file write)" : "Dump Checksum Mismatched!",
                             platform::MsgButtons::Ok, platform::MsgIcon::None);
        return;
    }
    m_nReadDone += kDumpBlock;
    m_view.ExpReplaceLog(platform::Format("** Dump!( %d Byte)\n ", m_nReadDone));
    m_view.SetProgressPos(m_nReadDone);
    m_nChunkPos = 0;
    m_byExpSum = 0;
    if (static_cast<uint32_t>(m_nReadDone) >= kNandDumpBytes) {
        m_nExpState = EXP_DUMP_END;
        return;
    }
    SendByte(kBlockGood);
}

void CMfxExplorer::CloseExplorer() {
    if (m_bFileOpen != 0) {
        // Leaving in the middle of a transfer: its file is not complete.
        SetAside("the explorer was closed");
    }
    m_nExpState = EXP_UNMOUNT;
    m_bUnmountAcked = false;
    SendByte(kCmdUnmount);
}

}  // namespace oriel
