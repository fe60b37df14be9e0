#include "oriel/engine/nor_erase.h"

#include "oriel/engine/checksum.h"
#include "oriel/engine/console_view.h"
#include "oriel/engine/nor_sectors.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace oriel {

namespace {

constexpr uint8_t kCmdErase = 0xD5;

}  // namespace

bool ChooseSectors(platform::IPrompts& prompts) {
    g_abSectorSelected.fill(0);
    platform::SectorChoiceRequest request;
    request.lines = SectorLines();
    std::vector<uint8_t> flags(static_cast<size_t>(g_nNorSectors), 0);
    if (!prompts.SelectSectors(request, flags)) {
        return false;
    }
    for (int32_t i = 0; i < g_nNorSectors && static_cast<size_t>(i) < flags.size(); ++i) {
        g_abSectorSelected[static_cast<size_t>(i)] = flags[static_cast<size_t>(i)] != 0 ? 1 : 0;
    }
    return true;
}

CNorErase::CNorErase(CDownloaderEngine& engine) : m_engine(engine) {
    m_engine.RegisterSyncHandler(OP_NOR_ERASE, [this] { OnSync(); });
    m_engine.RegisterStateHandler(WAIT_ERASE_SUM, [this](uint8_t by) { OnEraseSum(by); });
}

bool CNorErase::StartErase() {
    if (!ChooseSectors(m_engine.Prompts())) {
        return false;
    }
    return StartSelected();
}

bool CNorErase::StartSelected() {
    CDownloaderEngine& e = m_engine;
    int32_t nCount = 0;
    for (int32_t i = 0; i < g_nNorSectors; ++i) {
        nCount += g_abSectorSelected[static_cast<size_t>(i)] != 0 ? 1 : 0;
    }
    m_nCurSector = NextSelectedSector(0);
    if (nCount == 0) {
        e.Message("No sector selected!");
        return false;
    }
    e.Console().SetProgressRange(nCount);
    e.Console().SetProgressPos(0);
    e.Console().ReplaceLog(" \r\n");
    e.Log("** Erasing NOR-Flash **\r\n\r\n");
    e.StartOperation(OP_NOR_ERASE);
    return true;
}

void CNorErase::SendErase() {
    CDownloaderEngine& e = m_engine;
    const uint32_t offset = SectorOffset(m_nCurSector);
    e.Log(platform::Format("Erasing sector (0x%08X)... ", offset + kNorBusBase));
    e.SendByte(kCmdErase);
    e.SendBe32(offset);
    e.m_byExpected = Sum8OfBe32(offset);
}

void CNorErase::OnSync() {
    m_nEraseCount = 0;
    m_engine.m_nState = WAIT_ERASE_SUM;
    SendErase();
}

void CNorErase::OnEraseSum(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != e.m_byExpected) {
        e.m_nState = IDLE;
        e.Message("Fail to erase sector!");
        e.FinishOperation();
        return;
    }
    ++m_nEraseCount;
    e.Console().SetProgressPos(m_nEraseCount);
    e.Log("OK!\r\n");
    const int32_t next = NextSelectedSector(m_nCurSector + 1);
    if (next >= 0) {
        m_nCurSector = next;
        SendErase();
        return;
    }
    e.LogTimes("\r\n** Start Time    %H:%M:%S **", "\r\n** End Time      %H:%M:%S **",
               "\r\n** Erasing Time %H:%M:%S **\r\n");
    e.m_nState = IDLE;
    e.Message("Erasing Completed!");
    e.FinishOperation();
}

}  // namespace oriel
