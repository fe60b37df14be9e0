#include "oriel/engine/nor_verify.h"

#include <sys/stat.h>

#include <algorithm>

#include "oriel/engine/console_view.h"
#include "oriel/engine/nor_download.h"
#include "oriel/engine/nor_sectors.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace oriel {

CNorVerify::CNorVerify(CDownloaderEngine& engine) : m_engine(engine) {
    m_engine.RegisterSyncHandler(OP_NOR_VERIFY, [this] { OnSync(); });
    m_engine.RegisterBlockHandler(OP_NOR_VERIFY, [this] { OnBlock(); });
}

bool CNorVerify::Start(std::vector<VerifyItem> items, bool bPowerOnAfter) {
    CDownloaderEngine& e = m_engine;
    m_bMatched = m_bDiffers = false;
    m_nFirstDiff = 0;
    m_nCheckedBytes = 0;
    m_nTotalBytes = 0;
    for (const VerifyItem& item : items) {
        struct stat st {};
        std::string error;
        if (stat(item.strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            e.m_nState = IDLE;
            e.Message("Fail to open bin file!");
            return false;
        }
        if (!ImageFits(item.strPath, item.nOffset + kNorBusBase, error)) {
            e.m_nState = IDLE;
            e.Message(error, platform::MsgIcon::Warning);
            return false;
        }
        m_nTotalBytes += st.st_size;
    }
    if (items.empty()) {
        return false;
    }
    m_items = std::move(items);
    m_nItem = 0;
    m_bPowerOnAfter = bPowerOnAfter;
    if (!OpenItem()) {
        return false;
    }
    e.Console().SetProgressRange(static_cast<int32_t>(m_nTotalBytes));
    e.Console().SetProgressPos(0);
    e.Log("\r\n** Verifying NOR-Flash **\r\n");
    e.StartOperation(OP_NOR_VERIFY);
    return true;
}

bool CNorVerify::OpenItem() {
    CDownloaderEngine& e = m_engine;
    const VerifyItem& item = m_items[m_nItem];
    const int64_t length =
        e.m_fileBin.Open(item.strPath, CFileObject::Mode::Read) ? e.m_fileBin.Length() : -1;
    if (length <= 0) {
        e.m_fileBin.Close();
        e.m_nState = IDLE;
        e.Message("Fail to open bin file!");
        return false;
    }
    e.m_bBinFileOpen = 1;
    m_nItemSize = length;
    m_nItemDone = 0;
    return true;
}

void CNorVerify::RequestNext() {
    const VerifyItem& item = m_items[m_nItem];
    RequestDumpBlock(m_engine, item.nOffset + static_cast<uint32_t>(m_nItemDone));
}

void CNorVerify::OnSync() {
    CDownloaderEngine& e = m_engine;
    e.m_nState = WAIT_DUMP_BLOCK;
    const VerifyItem& item = m_items[m_nItem];
    e.Log(platform::Format("Verifying 0x%08X (%lld bytes)... ", item.nOffset + kNorBusBase,
                           static_cast<long long>(m_nItemSize)));
    RequestNext();
}

void CNorVerify::Fail(const std::string& log, const std::string& message) {
    CDownloaderEngine& e = m_engine;
    e.m_nState = IDLE;
    e.Log(log);
    e.Message(message, platform::MsgIcon::Error);
    e.FinishOperation();
}

void CNorVerify::OnBlock() {
    CDownloaderEngine& e = m_engine;
    bool bSumOk = false;
    if (!TakeDumpBlock(e.Port(), m_abBlock, bSumOk)) {
        return;
    }
    if (!bSumOk) {
        Fail("Checksum mismatched!\r\n", "Checksum mismatched!");
        return;
    }
    const int64_t nWant = std::min<int64_t>(kDumpBlockBytes, m_nItemSize - m_nItemDone);
    m_abImage.resize(static_cast<size_t>(nWant));
    if (e.m_fileBin.Read(m_abImage.data(), m_abImage.size()) != m_abImage.size()) {
        Fail(platform::Format("\r\n** Fail to read %s **\r\n", m_items[m_nItem].strPath.c_str()),
             "Fail to open bin file!");
        return;
    }
    for (size_t i = 0; i < m_abImage.size(); ++i) {
        if (m_abImage[i] != m_abBlock[i]) {
            m_bDiffers = true;
            m_nFirstDiff = kNorBusBase + m_items[m_nItem].nOffset +
                           static_cast<uint32_t>(m_nItemDone) + static_cast<uint32_t>(i);
            Fail(platform::Format("\r\n** Verify FAILED: first difference at 0x%08X (image "
                                  "0x%02X, flash 0x%02X) **\r\n",
                                  m_nFirstDiff, m_abImage[i], m_abBlock[i]),
                 platform::Format("Verify failed! (0x%08X)", m_nFirstDiff));
            return;
        }
    }
    m_nItemDone += nWant;
    m_nCheckedBytes += nWant;
    e.Console().SetProgressPos(static_cast<int32_t>(m_nCheckedBytes));
    if (m_nItemDone < m_nItemSize) {
        RequestNext();
        return;
    }
    e.Log("OK!\r\n");
    e.m_fileBin.Close();
    e.m_bBinFileOpen = 0;
    if (++m_nItem < m_items.size()) {
        if (!OpenItem()) {
            e.FinishOperation();
            return;
        }
        OnSync();
        return;
    }
    m_bMatched = true;
    e.LogTimes("\r\n** Start Time  %H:%M:%S **", "\r\n** End Time    %H:%M:%S **",
               "\r\n** Verify Time %H:%M:%S **\r\n");
    e.Log(platform::Format("** (Total %lld bytes verified) **\r\n",
                           static_cast<long long>(m_nCheckedBytes)));
    e.m_nState = IDLE;
    e.Message("Verify completed!", platform::MsgIcon::Information);
    e.FinishOperation();
    if (m_bPowerOnAfter) {
        e.SendByte(CMD_POWER_ON);
        if (m_fnStop) {
            m_fnStop();
        }
    }
}

}  // namespace oriel
