#include "oriel/engine/nor_dump.h"

#include <cstdio>

#include "oriel/engine/console_view.h"
#include "oriel/engine/nor_erase.h"
#include "oriel/engine/nor_sectors.h"
#include "oriel/link/serial_port.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace oriel {

namespace {

constexpr uint8_t kCmdDump = 0xD8;
constexpr int32_t kBlockBytes = kDumpBlockBytes;

}  // namespace

void RequestDumpBlock(CDownloaderEngine& engine, uint32_t offset) {
    engine.Port().m_bBlockMode = 1;
    engine.SendByte(kCmdDump);
    engine.SendBe32(offset);
}

bool TakeDumpBlock(CSerialPort& port, DumpBlock& block, bool& bSumOk) {
    // A stale wake-up may find part of a block: wait for the whole of it.
    if (port.Count() < kBlockBytes + 1) {
        return false;
    }
    port.m_bBlockMode = 0;
    uint8_t sum = 0;
    for (uint8_t& by : block) {
        port.Pop(by);
        sum = static_cast<uint8_t>(sum + by);
    }
    uint8_t check = 0;
    port.Pop(check);
    bSumOk = check == sum;
    return true;
}

CNorDump::CNorDump(CDownloaderEngine& engine) : m_engine(engine) {
    m_engine.RegisterSyncHandler(OP_NOR_DUMP, [this] { OnSync(); });
    m_engine.RegisterBlockHandler(OP_NOR_DUMP, [this] { OnBlock(); });
}

bool CNorDump::StartNorDump() {
    if (!ChooseSectors(m_engine.Prompts())) {
        return false;
    }
    m_nDumpTotalKB = SelectedKBytes();
    if (m_nDumpTotalKB == 0) {
        m_engine.Message("No sector selected!");
        return false;
    }
    platform::FileDialogRequest request;
    request.strDefaultExt = ".hex";
    request.strFilter = "Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||";
    request.bPromptOverwrite = true;
    const std::string path = m_engine.Prompts().SaveFile(request);
    if (path.empty()) {
        m_engine.Message("No file selected!");
        return false;
    }
    m_strDumpPath = path;
    return Begin();
}

bool CNorDump::StartSelected(const std::string& strPath) {
    m_nDumpTotalKB = SelectedKBytes();
    if (m_nDumpTotalKB == 0) {
        m_engine.Message("No sector selected!");
        return false;
    }
    if (strPath.empty()) {
        m_engine.Message("No file selected!");
        return false;
    }
    m_strDumpPath = strPath;
    return Begin();
}

bool CNorDump::Begin() {
    CDownloaderEngine& e = m_engine;
    m_nCurSector = NextSelectedSector(0);
    m_strKeptPath.clear();
    if (!e.m_fileDump.Create(m_strDumpPath)) {
        e.Message("Internal Error! (file creation)");
        return false;
    }
    e.Console().SetProgressRange(m_nDumpTotalKB);
    e.Console().SetProgressPos(0);
    e.Console().ReplaceLog(" \r\n");
    e.Log("** Dumping NOR-Flash **\r\n\r\n");
    e.m_bDumpFileOpen = 1;
    e.StartOperation(OP_NOR_DUMP);
    return true;
}

void CNorDump::RequestDumpBlock(uint32_t offset) {
    oriel::RequestDumpBlock(m_engine, offset);
}

void CNorDump::OnSync() {
    CDownloaderEngine& e = m_engine;
    m_nDumpDoneKB = 0;
    m_nBlockInSector = 0;
    e.m_nState = WAIT_DUMP_BLOCK;
    e.Log(
        platform::Format("Dumping sector (0x%08X)... ", SectorOffset(m_nCurSector) + kNorBusBase));
    RequestDumpBlock(SectorOffset(m_nCurSector));
}

void CNorDump::SetAsideIncomplete(const char* why) {
    CDownloaderEngine& e = m_engine;
    const int32_t nKept = m_nDumpDoneKB;
    // The blocks received stay, under a name that says they are not the dump.
    m_strKeptPath = e.m_fileDump.KeepIncomplete();
    e.m_bDumpFileOpen = 0;
    e.Log(platform::Format("\r\n** Dump FAILED (%s): %d of %d KBytes kept in %s **\r\n", why, nKept,
                           m_nDumpTotalKB, m_strKeptPath.c_str()));
}

void CNorDump::OnStop() {
    if (m_engine.m_nOperation == OP_NOR_DUMP && m_engine.m_bDumpFileOpen != 0) {
        SetAsideIncomplete("stopped");
    }
}

void CNorDump::OnPortGone() {
    if (m_engine.m_nOperation == OP_NOR_DUMP && m_engine.m_bDumpFileOpen != 0) {
        SetAsideIncomplete("the handset's port went away");
    }
}

void CNorDump::OnBlock() {
    CDownloaderEngine& e = m_engine;
    bool bSumOk = false;
    if (!TakeDumpBlock(e.Port(), m_abBlock, bSumOk)) {
        return;
    }
    if (!bSumOk) {
        e.m_nState = IDLE;
        e.m_nOperation = 0;
        SetAsideIncomplete("checksum mismatch");
        e.Message("Checksum mismatched!");
        e.FinishOperation();
        return;
    }
    m_nDumpDoneKB += 8;
    e.Console().SetProgressPos(m_nDumpDoneKB);
    if (!e.m_fileDump.Write(m_abBlock.data(), m_abBlock.size())) {
        e.m_nState = IDLE;
        e.m_nOperation = 0;
        m_nDumpDoneKB -= 8;
        SetAsideIncomplete("cannot write the file");
        e.Message("Internal Error! (file write)");
        e.FinishOperation();
        return;
    }
    ++m_nBlockInSector;
    if (m_nBlockInSector < static_cast<int32_t>(SectorBytes(m_nCurSector)) / kBlockBytes) {
        RequestDumpBlock(SectorOffset(m_nCurSector) +
                         static_cast<uint32_t>(m_nBlockInSector * kBlockBytes));
        return;
    }
    e.Log("OK!\r\n");
    m_nBlockInSector = 0;
    const int32_t next = NextSelectedSector(m_nCurSector + 1);
    if (next >= 0) {
        m_nCurSector = next;
        e.Log(platform::Format("Dumping sector (0x%08X)... ", SectorOffset(next) + kNorBusBase));
        RequestDumpBlock(SectorOffset(next));
        return;
    }
    if (!e.m_fileDump.Commit()) {
        e.m_nState = IDLE;
        e.m_nOperation = 0;
        SetAsideIncomplete("cannot write the file");
        e.Message("Internal Error! (file write)");
        e.FinishOperation();
        return;
    }
    e.m_bDumpFileOpen = 0;
    e.LogTimes("\r\n** Start  Time %H:%M:%S **", "\r\n** End    Time %H:%M:%S **",
               "\r\n** Dump Time %H:%M:%S **\r\n");
    e.Log(platform::Format("** (Total %d KBytes) **\r\n", m_nDumpTotalKB));
    e.m_nState = IDLE;
    e.Message("Dump Completed!");
    e.FinishOperation();
}

}  // namespace oriel
