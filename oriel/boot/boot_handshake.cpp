#include "oriel/boot/boot_handshake.h"

#include "oriel/boot/loader_images.h"
#include "oriel/engine/checksum.h"
#include "oriel/engine/console_view.h"
#include "oriel/engine/nor_sectors.h"
#include "oriel/link/serial_port.h"
#include "platform/format.h"
#include "platform/timer_service.h"

namespace oriel {

namespace {

constexpr uint8_t kConnectRequest = 0x81;
constexpr uint8_t kConnect = 0x44;
constexpr uint8_t kQuery = 0x51;
constexpr uint8_t kOk = 'O';
constexpr uint8_t kCmdTimeout = 'T';
constexpr uint8_t kTimeoutArg = 0x10;
constexpr int kTimeoutLoggedMs = 1600;  // what the ROM makes of 0x10
constexpr uint8_t kCmdSetAddress = 'S';
constexpr uint8_t kCmdLoad = 'L';
constexpr uint8_t kCmdJump = 'J';
constexpr uint8_t kLoaderReady = 0xAB;
constexpr uint8_t kCmdLength = 0xD4;
constexpr uint8_t kCmdDma = 0xF7;
constexpr uint8_t kCmdJumpBootLoader = 0xFF;
constexpr uint8_t kCmdCs0 = 0xD0;
constexpr uint8_t kCmdFlashId = 0xD1;
constexpr uint32_t kCs0Base = 0x10000000;
constexpr uint32_t kBlockSize = 2048;

// SCRAM at 0x0C000000, little-endian as the ROM reads its addresses.
constexpr uint8_t kScramAddress[5] = {kCmdSetAddress, 0x00, 0x00, 0x00, 0x0C};

constexpr FlashPart kFlashParts[] = {
    {"Spansion-S71WS128PC0", 0x0001, 0x227E, 0x2244, 0x2200},
    {"Spansion-S71WS128NC0", 0x0001, 0x227E, 0x2231, 0x2200},
};

uint16_t Word16(const std::array<uint8_t, 8>& id, size_t i) {
    return static_cast<uint16_t>((id[i] << 8) | id[i + 1]);
}

}  // namespace

const char* IdentifyFlash(const std::array<uint8_t, 8>& id) {
    for (const FlashPart& part : kFlashParts) {
        if (Word16(id, 0) == part.nManufacturer && Word16(id, 2) == part.nDevId1 &&
            Word16(id, 4) == part.nDevId2 && Word16(id, 6) == part.nDevId3) {
            return part.pszName;
        }
    }
    return nullptr;
}

CBootHandshake::CBootHandshake(CDownloaderEngine& engine) : m_engine(engine) {
    m_engine.SetHandshake(this);
    m_engine.RegisterTimerHandler(kBaudTimerId, [this] { BaudTimer(); });
}

void CBootHandshake::Start(const HandshakeSettings& settings) {
    m_settings = settings;
    // The rate table has four rows; anything else would index past it.
    if (m_settings.nSpeedIndex < 0 ||
        m_settings.nSpeedIndex >= static_cast<int32_t>(kBaudTable.size())) {
        m_settings.nSpeedIndex = 0;
    }
    m_nBootRetry = 0;
    m_nChallenge = 0;
    m_nPreloaderWord = 0;
    m_engine.m_nState = WAIT_CONNECT_REQ;
}

void CBootHandshake::Fail(const char* fmt, uint8_t by) {
    m_engine.m_nState = IDLE;
    m_engine.Log(platform::Format(fmt, by));
}

void CBootHandshake::HandshakeByte(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    switch (e.m_nState) {
        case WAIT_CONNECT_REQ:
            // Line noise before the handset starts does no harm.
            if (by == kConnectRequest) {
                e.Log(platform::Format("** Send '0x%02x' to ORIEL Chip\r\n", kConnect));
                e.SendByte(kConnect);
                e.m_nState = WAIT_CONNECT_GRANT;
            }
            break;
        case WAIT_CONNECT_GRANT:
            if (by == kConnect) {
                e.Log("** Connection granted from ORIEL Chip\r\n");
                m_nChallenge = 0;
                e.SendByte(kQuery);
                e.m_nState = WAIT_CHALLENGE;
            } else {
                e.Log(platform::Format("Bad Response from ORIEL Chip (0x%X)\r\n", by));
                e.m_nState = WAIT_CONNECT_REQ;
            }
            break;
        case WAIT_CHALLENGE:
            m_abChallenge[static_cast<size_t>(m_nChallenge++)] = by;
            if (m_nChallenge == static_cast<int32_t>(m_abChallenge.size())) {
                m_nChallenge = 0;
                e.Log("** Received 16 bytes from ORIEL chip\r\n");
                e.Log("** Sending the customer ID and the same 16 bytes to ORIEL chip... ");
                std::array<uint8_t, 21> msg{};
                msg[0] = kConnect;
                const std::array<uint8_t, 4> id = CustomerId();
                std::copy(id.begin(), id.end(), msg.begin() + 1);
                std::copy(m_abChallenge.begin(), m_abChallenge.end(), msg.begin() + 5);
                e.Send(msg.data(), msg.size());
                e.m_nState = WAIT_ID_ACK;
            }
            break;
        case WAIT_ID_ACK:
            if (by == kOk) {
                e.Log("OK!\r\n");
                e.Log("** Try to change Timeout !\r\n");
                const uint8_t cmd[2] = {kCmdTimeout, kTimeoutArg};
                e.Send(cmd, sizeof cmd);
                e.m_nState = WAIT_TIMEOUT_ACK;
            } else {
                e.Log("Fail!\r\n");
                e.m_nState = IDLE;
            }
            break;
        case WAIT_TIMEOUT_ACK:
            if (by == kOk) {
                e.Log(platform::Format("** Ok! Timout Changed(%d mSecond) \r\n", kTimeoutLoggedMs));
                e.Log("** Setting downloading address (SCRAM: 0x0C000000)... ");
                e.Send(kScramAddress, sizeof kScramAddress);
                e.m_nState = WAIT_LOADADDR_ACK;
            } else {
                Fail("Timeout change Fail(%x)!\r\n", by);
            }
            break;
        case WAIT_LOADADDR_ACK:
            if (by == kOk) {
                e.Log("OK!\r\n\r\n");
                e.Log(platform::Format("** Downloading the pre-Loader (%d bytes)... ",
                                       static_cast<int>(kPreloaderSize)));
                m_nPreloaderWord = 0;
                SendPreloaderWord();
            } else {
                Fail("Bad response(0x%X) from ORIEL Chip\r\n", by);
            }
            break;
        case WAIT_PRELOADER_WORD:
            if (by == kOk) {
                SendPreloaderWord();
            } else {
                Fail("Bad response(0x%X) from ORIEL Chip\r\n", by);
            }
            break;
        case WAIT_PRELOADER_LAST:
            if (by == kOk) {
                e.Log("OK!\r\n");
                e.Log("** Set the start address of pre-Loader (SCRAM:0x0C000000)... ");
                e.Send(kScramAddress, sizeof kScramAddress);
                e.m_nState = WAIT_STARTADDR_ACK;
            } else {
                Fail("Bad response(0x%X) from ORIEL Chip\r\n", by);
            }
            break;
        case WAIT_STARTADDR_ACK:
            if (by == kOk) {
                e.Log("OK!\r\n");
                e.Log("\r\nStart Pre-Loader... ");
                e.SendByte(kCmdJump);
                e.m_nState = WAIT_PRELOADER_READY;
            } else {
                Fail("Bad response(0x%X) from ORIEL Chip\r\n", by);
            }
            break;
        case WAIT_PRELOADER_READY:
            if (by == kLoaderReady) {
                OnPreloaderReady();
            } else {
                Fail("Bad response(0x%X) from Pre-Loader\r\n", by);
            }
            break;
        case WAIT_SYNC:
            StartBootLoaderDownload(by);
            break;
        case WAIT_LENGTH_SUM:
            if (by == e.m_byExpected) {
                m_nBootRemaining = static_cast<uint32_t>(m_nBootSize);
                m_nBootPosition = 0;
                e.SendByte(kCmdDma);
                e.m_nState = WAIT_DMA_READY;
            } else {
                e.Log("Fail in sending the file size!\r\n");
                e.m_nState = IDLE;
            }
            break;
        case WAIT_DMA_READY:
            if (by == kCmdDma) {
                SendBootLoaderBlock();
            } else {
                e.m_nState = IDLE;
                e.Log("Fail to configure DMA\r\n");
            }
            break;
        case WAIT_BLOCK_SUM:
            if (by == e.m_byExpected) {
                e.SendByte(kCmdDma);
                e.m_nState = WAIT_DMA_READY;
            } else {
                Fail("checksum mismatched from Pre-Loader (0x%X)\r\n", by);
            }
            break;
        case WAIT_LAST_BLOCK_SUM:
            if (by == e.m_byExpected) {
                e.Log("OK!\r\n\r\n");
                e.Log("Jump to Boot-Loader (RAM:0x18000000)... ");
                e.SendByte(kCmdJumpBootLoader);
                e.m_nState = WAIT_BOOTLOADER_READY;
            } else {
                Fail("checksum mismatched from Pre-Loader (0x%X)\r\n", by);
            }
            break;
        case WAIT_BOOTLOADER_READY:
            if (by == kLoaderReady) {
                e.Log("OK!\r\n");
                e.SendByte(kCmdCs0);
                e.Log(platform::Format("Sending the base address of CS0 (0x%08X)... ", kCs0Base));
                e.SendBe32(kCs0Base);
                e.m_byExpected = Sum8OfBe32(kCs0Base);
                e.m_nState = WAIT_CS0_SUM;
            } else {
                Fail("Bad response from Boot-Loader (0x%X)\r\n", by);
            }
            break;
        case WAIT_CS0_SUM:
            if (by == e.m_byExpected) {
                e.Log("OK!\r\n");
                e.SendByte(kCmdFlashId);
                m_nFlashId = 0;
                m_strChipName.clear();
                e.Log("Checking FLASH ID... ");
                e.m_nState = WAIT_FLASH_ID;
            } else {
                e.Log("Fail!\r\n");
                e.m_nState = IDLE;
            }
            break;
        case WAIT_FLASH_ID:
            m_abFlashId[static_cast<size_t>(m_nFlashId++)] = by;
            if (m_nFlashId == static_cast<int32_t>(m_abFlashId.size())) {
                m_nFlashId = 0;
                OnFlashId();
            }
            break;
        default:
            // IDLE after a failure, or no connection: nothing to do.
            break;
    }
}

void CBootHandshake::SendPreloaderWord() {
    std::array<uint8_t, 4> word{};
    if (!PreloaderWord(m_nPreloaderWord, word)) {
        // Cannot happen while the index stays in 0..464; never send past the image.
        m_engine.m_nState = IDLE;
        return;
    }
    const uint8_t cmd[6] = {kCmdLoad, 0x00, word[0], word[1], word[2], word[3]};
    m_engine.Send(cmd, sizeof cmd);
    if (m_nPreloaderWord == kPreloaderWords - 1) {
        m_nPreloaderWord = 0;
        m_engine.m_nState = WAIT_PRELOADER_LAST;
    } else {
        ++m_nPreloaderWord;
        m_engine.m_nState = WAIT_PRELOADER_WORD;
    }
}

void CBootHandshake::OnPreloaderReady() {
    CDownloaderEngine& e = m_engine;
    if (m_nBootRetry == 0 && m_settings.nMode == kModeNormal) {
        // The chip boots once more before it takes the new rate.
        ++m_nBootRetry;
        e.Log("OK!\r\nWaiting PCF5213 boot...\r\n");
        e.m_nState = WAIT_CONNECT_REQ;
        return;
    }
    e.Log("OK!\r\nTrying to change the baudrate...\r\n");
    e.SendByte(static_cast<uint8_t>(m_settings.nSpeedIndex));
    e.m_nState = WAIT_SYNC;
    e.Port().Close();
    m_nBootRetry = 0;
    if (e.Timers() != nullptr) {
        e.Timers()->SetTimer(kBaudTimerId, kBaudTimerMs);
    }
}

void CBootHandshake::BaudTimer() {
    CDownloaderEngine& e = m_engine;
    platform::ITimerService* pTimers = e.Timers();
    if (pTimers != nullptr) {
        pTimers->KillTimer(kBaudTimerId);
    }
    const auto nPort = static_cast<uint16_t>(m_settings.nComIndex + 1);
    const uint32_t nBaud = kBaudTable[static_cast<size_t>(m_settings.nSpeedIndex)];
    if (!e.Port().Open(nPort, nBaud, false)) {
        if (pTimers != nullptr) {
            pTimers->SetTimer(kBaudTimerId, kBaudTimerMs);
        }
        e.Log("** Retry the change of baudrate\r\n");
        return;
    }
    if (e.m_bIdentified == 0) {
        e.SendByte(CMD_SYNC);
    }
}

void CBootHandshake::StartBootLoaderDownload(uint8_t by) {
    CDownloaderEngine& e = m_engine;
    if (by != static_cast<uint8_t>(m_settings.nSpeedIndex)) {
        e.m_nState = IDLE;
        e.Log(platform::Format("** Fail to change the baudrate (%d)", by));
        e.Message("Fail to change the baudrate of target!");
        if (m_fnStop) {
            m_fnStop();
        }
        return;
    }
    const LoaderImage image = BootloaderImage(m_settings.bFast != 0);
    m_pBootLoader = image.pData;
    m_nBootSize = static_cast<int32_t>(image.nLength);
    e.Log(platform::Format("Change Baudrate 115200 -> %u... OK!\r\n",
                           kBaudTable[static_cast<size_t>(m_settings.nSpeedIndex)]));
    e.Log(platform::Format("Downloading the Boot-Loader (%d bytes)... ", m_nBootSize));
    e.Console().SetProgressRange(m_nBootSize);
    m_nBootProgress = 0;
    m_nBootPosition = 0;
    e.Console().SetProgressPos(0);
    e.SendByte(kCmdLength);
    const auto size = static_cast<uint32_t>(m_nBootSize);
    e.SendBe32(size);
    e.m_byExpected = Sum8OfBe32(size);
    e.m_nState = WAIT_LENGTH_SUM;
}

void CBootHandshake::SendBootLoaderBlock() {
    CDownloaderEngine& e = m_engine;
    const uint32_t n = m_nBootRemaining < kBlockSize ? m_nBootRemaining : kBlockSize;
    const uint8_t* pBlock = m_pBootLoader + m_nBootPosition;
    if (n == kBlockSize) {
        m_nBootPosition += kBlockSize;
        m_nBootRemaining -= kBlockSize;
        e.m_nState = WAIT_BLOCK_SUM;
    } else {
        e.m_nState = WAIT_LAST_BLOCK_SUM;
        m_nBootPosition = 0;
    }
    m_nBootProgress += static_cast<int32_t>(n);
    e.Console().SetProgressPos(m_nBootProgress);
    e.Send(pBlock, n);
    e.m_byExpected = Sum8(pBlock, n);
}

void CBootHandshake::OnFlashId() {
    CDownloaderEngine& e = m_engine;
    const char* pszName = IdentifyFlash(m_abFlashId);
    if (pszName != nullptr) {
        m_strChipName = pszName;
        e.Log(platform::Format("Detected (%s)\r\n", pszName));
        // Both parts share the one sector map.
        g_nNorSectors = kNorSectorCount;
    } else {
        m_strChipName = "Not Supported FLASH";
        e.m_nState = IDLE;
        e.Log(platform::Format("not supported FLASH(ManuID:%x,DevID1:%x,DevID2:%x,DevID3:%x)\r\n",
                               Word16(m_abFlashId, 0), Word16(m_abFlashId, 2),
                               Word16(m_abFlashId, 4), Word16(m_abFlashId, 6)));
    }
    e.Console().SetFlashId(m_strChipName);
    if (pszName == nullptr) {
        e.Log("\r\n** There is nothing to do because of unknown FLASH.\r\n");
        e.Message("Unknown Flash!");
        if (m_fnStop) {
            m_fnStop();
        }
        return;
    }
    e.m_bIdentified = 1;
    e.Log(
        "\r\n\r\n** Now you can do the followings. **\r\n\r\n"
        "1. Download the BINARY and/or MFX files\r\n2. Dump NOR-Flash\r\n"
        "3. Erase NOR-Flash\r\n4. Format Nand-Flash\r\n5. Dump MFX files\r\n"
        "6. Check the status of NAND-Flash\r\n");
    e.FinishOperation();
    e.Console().SetProgressPos(0);
    if (m_settings.bAuto != 0 && m_fnAllDownload) {
        m_fnAllDownload();
    }
}

}  // namespace oriel
