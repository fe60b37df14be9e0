#include "oriel/mfx/nand_ops.h"

#include "oriel/engine/console_view.h"
#include "platform/format.h"
#include "platform/prompts.h"

namespace oriel {

namespace {

constexpr uint8_t kCmdFormat = 0xE0;
constexpr uint8_t kFormatDone = 0xE1;
constexpr uint8_t kFormatError = 0xF2;
constexpr uint8_t kCmdStatus = 0xEC;
constexpr uint8_t kStatusFollows = 0xED;
constexpr uint8_t kStatusFollowsToo = 0xF4;
constexpr uint8_t kStatusError = 0xF3;
constexpr int32_t kErrorReplyLength = 5;
constexpr int32_t kStatusRecordLength = 44;

int32_t Le32At(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                                (uint32_t{p[3]} << 24));
}

}  // namespace

std::string FormatNandStatus(const uint8_t* r) {
    static const char* const kLines[] = {
        nullptr,
        "2. Optimal transfer block size( f_bsize ) : %d (0x%X)\r\n",
        "3. block size in bits( f_bsizebits ) : %d (0x%X)\r\n",
        "4. total data blocks in file system( f_blocks ) : %d (0x%X)\r\n",
        "5. free blocks in file system( f_bfree ) : %d (0x%X)\r\n",
        "6. free blocks avail to non-superuser( f_bavail ) : %d (0x%X)\r\n",
        "7. total file nodes in file system( f_files ) : %d (0x%X)\r\n",
        "8. free file nodes in file system( f_ffree ) : %d (0x%X)\r\n",
    };
    std::string out =
        platform::Format("1. FileSystem Type( f_type ) : %X\r\n", static_cast<unsigned>(Le32At(r)));
    for (size_t i = 1; i < 8; ++i) {
        const int32_t v = Le32At(r + 4 * i);
        out += platform::Format(kLines[i], v, static_cast<unsigned>(v));
    }
    out +=
        platform::Format("9. file system id( f_fsid ) : %c%c%c%c\r\n", r[35], r[34], r[33], r[32]);
    const int32_t maxSize = Le32At(r + 36);
    out += platform::Format("10. maximum file size( f_maxfilesize ) : %d (0x%X)\r\n", maxSize,
                            static_cast<unsigned>(maxSize));
    const auto nameLen = static_cast<int32_t>(static_cast<int16_t>(r[40] | (r[41] << 8)));
    out += platform::Format("11. maximum length of filenames( f_namelen ) : %d (0x%X)\r\n", nameLen,
                            static_cast<unsigned>(nameLen));
    return out;
}

std::string FormatNandError(const char* fmt, const uint8_t* p) {
    // The function code is a signed byte: 0x81 prints as ffffff81.
    const auto func = static_cast<int32_t>(static_cast<int8_t>(p[0]));
    const uint32_t code =
        (uint32_t{p[1]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 8) | p[4];
    return platform::Format(fmt, static_cast<unsigned>(func), code);
}

CNandOps::CNandOps(CDownloaderEngine& engine) : m_engine(engine) {
    m_engine.RegisterSyncHandler(OP_NAND_FORMAT, [this] {
        m_engine.SendByte(kCmdFormat);
        m_engine.m_nState = WAIT_FORMAT_RESULT;
    });
    m_engine.RegisterSyncHandler(OP_NAND_STATUS, [this] {
        m_engine.SendByte(kCmdStatus);
        m_engine.m_nState = WAIT_STATUS_RESULT;
    });
    m_engine.RegisterStateHandler(WAIT_FORMAT_RESULT, [this](uint8_t by) { OnFormatResult(by); });
    m_engine.RegisterStateHandler(WAIT_FORMAT_ERROR, [this](uint8_t by) { OnFormatError(by); });
    m_engine.RegisterStateHandler(WAIT_STATUS_RESULT, [this](uint8_t by) { OnStatusResult(by); });
    m_engine.RegisterStateHandler(WAIT_STATUS_DATA, [this](uint8_t by) { OnStatusData(by); });
    m_engine.RegisterStateHandler(WAIT_STATUS_ERROR, [this](uint8_t by) { OnStatusError(by); });
}

bool CNandOps::StartFormat() {
    CDownloaderEngine& e = m_engine;
    e.Console().SetProgressPos(0);
    if (e.Prompts().MessageBox("Sure to FORMAT?", platform::MsgButtons::YesNo,
                               platform::MsgIcon::Question,
                               platform::MsgDefault::Second) != platform::MsgAnswer::Yes) {
        return false;
    }
    e.StartOperation(OP_NAND_FORMAT);
    e.Console().ReplaceLog(" \r\n");
    e.Log("** Formatting MFX system (NAND Flash)... ");
    return true;
}

bool CNandOps::StartStatus() {
    CDownloaderEngine& e = m_engine;
    e.Console().SetProgressPos(0);
    e.StartOperation(OP_NAND_STATUS);
    e.Console().ReplaceLog(" \r\n");
    e.Log("** Checking MFX system (NAND Flash)... ");
    return true;
}

void CNandOps::OnFormatResult(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by == kFormatDone) {
        e.Log("Success!\r\n");
        e.m_nState = IDLE;
        e.Message("NAND-Formatting Completed!");
        e.FinishOperation();
    } else if (by == kFormatError) {
        e.ResetReply();
        e.m_nState = WAIT_FORMAT_ERROR;
    }
    // Anything else is a stray byte.
}

void CNandOps::OnFormatError(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (!e.CollectReply(by, kErrorReplyLength)) {
        return;
    }
    e.ResetReply();
    e.Log(FormatNandError("\n Format Error!\n Funccode(0x%x)->Errorcode (0x%x)\r\n", e.Reply()));
    e.m_nState = IDLE;
    e.FinishOperation();
}

void CNandOps::OnStatusResult(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by == kStatusFollows || by == kStatusFollowsToo) {
        e.ResetReply();
        e.m_nState = WAIT_STATUS_DATA;
    } else if (by == kStatusError) {
        e.ResetReply();
        e.m_nState = WAIT_STATUS_ERROR;
    }
}

void CNandOps::OnStatusData(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (!e.CollectReply(by, kStatusRecordLength)) {
        return;
    }
    e.ResetReply();
    e.Log("OK!\r\n\r\n< Result >\r\n");
    e.Log(FormatNandStatus(e.Reply()));
    e.m_nState = IDLE;
    e.FinishOperation();
}

void CNandOps::OnStatusError(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (!e.CollectReply(by, kErrorReplyLength)) {
        return;
    }
    e.ResetReply();
    e.Log(
        FormatNandError("\n Init,mount Error!\n Funccode(0x%x)->Errorcode (0x%x)\r\n", e.Reply()));
    e.m_nState = IDLE;
    e.FinishOperation();
}

}  // namespace oriel
