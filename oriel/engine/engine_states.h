#pragma once
// Engine states and operation codes. The numbers are the protocol's own: the
// handshake and every operation refer to states by these values.

#include <cstdint>

namespace oriel {

enum EngineState : int32_t {
    STATE_NONE = 0,  // after Stop and at start-up
    WAIT_CONNECT_REQ = 1,
    WAIT_CONNECT_GRANT = 2,
    WAIT_CHALLENGE = 3,
    WAIT_ID_ACK = 4,
    WAIT_PRELOADER_WORD = 5,
    WAIT_PRELOADER_LAST = 6,
    WAIT_STARTADDR_ACK = 7,
    WAIT_PRELOADER_READY = 8,
    WAIT_LOADADDR_ACK = 11,
    WAIT_BLOCK_SUM = 12,
    WAIT_LAST_BLOCK_SUM = 13,
    WAIT_BOOTLOADER_READY = 16,
    WAIT_CS0_SUM = 17,
    WAIT_FLASH_ID = 18,
    WAIT_SYNC = 19,
    WAIT_LENGTH_SUM = 20,
    WAIT_OFFSET_SUM = 21,
    WAIT_ERASE_SUM = 22,
    WAIT_DUMP_BLOCK = 24,
    WAIT_MOUNT_ACK = 25,
    WAIT_NAME_SUM = 26,
    WAIT_NAME_ACK = 27,
    WAIT_RELEASE_ACK = 28,
    WAIT_FILE_HEADER_SUM = 29,
    WAIT_DATA_SUM = 30,
    WAIT_LAST_DATA_SUM = 31,
    WAIT_FILE_ACK = 32,
    WAIT_FORMAT_RESULT = 33,
    WAIT_STATUS_RESULT = 34,
    WAIT_STATUS_DATA = 35,
    WAIT_UNMOUNT_ACK = 36,
    WAIT_FORMAT_ERROR = 39,
    WAIT_STATUS_ERROR = 41,
    WAIT_VERSION_ACK = 44,
    WAIT_DMA_READY = 48,
    WAIT_CHUNK_ACK = 49,
    WAIT_SECTOR_SUM = 50,
    WAIT_CRC_SUM = 51,
    WAIT_MFX_CRC_SUM = 52,
    WAIT_TIMEOUT_ACK = 53,
    WAIT_TIME_SUM = 54,
    WAIT_COMPLETE_ACK = 58,
    WAIT_DOWNLOAD_END = 59,
    IDLE = 60,
};

constexpr int32_t kStateCount = IDLE + 1;

enum Operation : int32_t {
    OP_NOR_DOWNLOAD = 0,
    OP_NOR_ERASE = 1,
    OP_NOR_DUMP = 2,
    OP_MFX_DOWNLOAD = 3,
    OP_NAND_FORMAT = 5,
    OP_NAND_STATUS = 7,
    OP_BIN_THEN_MFX = 8,
    // Reading a written range back to compare it with its image (dump requests).
    OP_NOR_VERIFY = 9,
};

constexpr int32_t kOperationCount = OP_NOR_VERIFY + 1;

// "WAIT_SECTOR_SUM" for 50; "state" for numbers that name none.
const char* StateName(int32_t nState);

// Boot-loader command bytes shared by several operations.
constexpr uint8_t CMD_SYNC = 0xD9;
constexpr uint8_t CMD_POWER_ON = 0xFD;

}  // namespace oriel
