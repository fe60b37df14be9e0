#include "oriel/engine/engine_states.h"

namespace oriel {

const char* StateName(int32_t nState) {
    switch (nState) {
        case WAIT_CONNECT_REQ:
            return "WAIT_CONNECT_REQ";
        case WAIT_CONNECT_GRANT:
            return "WAIT_CONNECT_GRANT";
        case WAIT_CHALLENGE:
            return "WAIT_CHALLENGE";
        case WAIT_ID_ACK:
            return "WAIT_ID_ACK";
        case WAIT_PRELOADER_WORD:
            return "WAIT_PRELOADER_WORD";
        case WAIT_PRELOADER_LAST:
            return "WAIT_PRELOADER_LAST";
        case WAIT_STARTADDR_ACK:
            return "WAIT_STARTADDR_ACK";
        case WAIT_PRELOADER_READY:
            return "WAIT_PRELOADER_READY";
        case WAIT_LOADADDR_ACK:
            return "WAIT_LOADADDR_ACK";
        case WAIT_BLOCK_SUM:
            return "WAIT_BLOCK_SUM";
        case WAIT_LAST_BLOCK_SUM:
            return "WAIT_LAST_BLOCK_SUM";
        case WAIT_BOOTLOADER_READY:
            return "WAIT_BOOTLOADER_READY";
        case WAIT_CS0_SUM:
            return "WAIT_CS0_SUM";
        case WAIT_FLASH_ID:
            return "WAIT_FLASH_ID";
        case WAIT_SYNC:
            return "WAIT_SYNC";
        case WAIT_LENGTH_SUM:
            return "WAIT_LENGTH_SUM";
        case WAIT_OFFSET_SUM:
            return "WAIT_OFFSET_SUM";
        case WAIT_ERASE_SUM:
            return "WAIT_ERASE_SUM";
        case WAIT_DUMP_BLOCK:
            return "WAIT_DUMP_BLOCK";
        case WAIT_MOUNT_ACK:
            return "WAIT_MOUNT_ACK";
        case WAIT_NAME_SUM:
            return "WAIT_NAME_SUM";
        case WAIT_NAME_ACK:
            return "WAIT_NAME_ACK";
        case WAIT_RELEASE_ACK:
            return "WAIT_RELEASE_ACK";
        case WAIT_FILE_HEADER_SUM:
            return "WAIT_FILE_HEADER_SUM";
        case WAIT_DATA_SUM:
            return "WAIT_DATA_SUM";
        case WAIT_LAST_DATA_SUM:
            return "WAIT_LAST_DATA_SUM";
        case WAIT_FILE_ACK:
            return "WAIT_FILE_ACK";
        case WAIT_FORMAT_RESULT:
            return "WAIT_FORMAT_RESULT";
        case WAIT_STATUS_RESULT:
            return "WAIT_STATUS_RESULT";
        case WAIT_STATUS_DATA:
            return "WAIT_STATUS_DATA";
        case WAIT_UNMOUNT_ACK:
            return "WAIT_UNMOUNT_ACK";
        case WAIT_FORMAT_ERROR:
            return "WAIT_FORMAT_ERROR";
        case WAIT_STATUS_ERROR:
            return "WAIT_STATUS_ERROR";
        case WAIT_VERSION_ACK:
            return "WAIT_VERSION_ACK";
        case WAIT_DMA_READY:
            return "WAIT_DMA_READY";
        case WAIT_CHUNK_ACK:
            return "WAIT_CHUNK_ACK";
        case WAIT_SECTOR_SUM:
            return "WAIT_SECTOR_SUM";
        case WAIT_CRC_SUM:
            return "WAIT_CRC_SUM";
        case WAIT_MFX_CRC_SUM:
            return "WAIT_MFX_CRC_SUM";
        case WAIT_TIMEOUT_ACK:
            return "WAIT_TIMEOUT_ACK";
        case WAIT_TIME_SUM:
            return "WAIT_TIME_SUM";
        case WAIT_COMPLETE_ACK:
            return "WAIT_COMPLETE_ACK";
        case WAIT_DOWNLOAD_END:
            return "WAIT_DOWNLOAD_END";
        case IDLE:
            return "IDLE";
        default:
            return "state";
    }
}

}  // namespace oriel
