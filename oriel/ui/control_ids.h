#pragma once
// Control ids of the console's dialogs (the resource numbers service notes
// refer to) and the main dialog's enabling table: what each moment of a
// connection does to each control.

#include <array>
#include <cstdint>

namespace oriel {

// Main dialog.
enum MainControl : int {
    IDC_EXIT = 1,  // "Exit" (the dialog's OK)
    IDC_CANCEL = 2,
    IDC_COM_LIST = 1000,
    IDC_SPEED_LIST = 1001,
    IDC_DOWNLOAD1 = 1002,
    IDC_PATH1 = 1003,
    IDC_MFX_PATH = 1004,
    IDC_STOP = 1005,
    IDC_BIN1 = 1006,
    IDC_MFX_CHOOSE = 1007,
    IDC_TYPE_BIN = 1008,
    IDC_TYPE_MFX = 1009,
    IDC_TYPE_BIN_MFX = 1010,
    IDC_DOWNLOAD2 = 1011,
    IDC_ERASE = 1012,
    IDC_PROGRESS = 1013,
    IDC_DUMP = 1014,
    IDC_START = 1015,
    IDC_FORMAT = 1016,
    IDC_FLASH_ID = 1017,
    IDC_EXPLORER = 1018,
    IDC_ABOUT = 1019,
    IDC_STATUS = 1020,
    IDC_LOG = 1021,
    IDC_PATH2 = 1022,
    IDC_BIN2 = 1023,
    IDC_DOWNLOAD3 = 1024,
    IDC_PATH3 = 1025,
    IDC_SIZE1 = 1026,
    IDC_CRC1 = 1027,
    IDC_MFX_SIZE = 1028,
    IDC_SIZE2 = 1029,
    IDC_CRC2 = 1030,
    IDC_BIN3 = 1031,
    IDC_SIZE3 = 1032,
    IDC_CRC3 = 1033,
    IDC_POWER_ON = 1036,
    IDC_MFX_CRC = 1037,
    IDC_ADDR_CHECK1 = 1038,
    IDC_ADDR1 = 1039,
    IDC_ADDR_CHECK2 = 1040,
    IDC_ADDR2 = 1041,
    IDC_ADDR_CHECK3 = 1042,
    IDC_ADDR3 = 1043,
    IDC_CRC_BUTTON1 = 1046,
    IDC_MFX_CRC_BUTTON = 1047,
    IDC_CRC_BUTTON2 = 1048,
    IDC_AUTO = 1049,
    IDC_CRC_BUTTON3 = 1050,
    IDC_FAST = 1051,
    IDC_ALL_DOWNLOAD = 1052,
    IDC_MODE_LIST = 1053,
    IDC_TAB = 1054,
    IDC_ROW_GROUP1 = 1055,
    IDC_ROW_GROUP2 = 1056,
    IDC_ROW_GROUP3 = 1057,
    IDC_SIZE_LABEL1 = 1058,
    IDC_SIZE_LABEL2 = 1059,
    IDC_SIZE_LABEL3 = 1060,
    IDC_BYTES_LABEL1 = 1061,
    IDC_BYTES_LABEL2 = 1062,
    IDC_BYTES_LABEL3 = 1063,
    // Added here: the device path a COM number stands for, and its editor.
    IDC_PORT_PATH = 1100,
    IDC_PORT_EDIT = 1101,
    IDC_NAND_GROUP = 1102,
    IDC_MFX_SIZE_LABEL = 1103,
    IDC_MFX_BYTES_LABEL = 1104,
    IDC_VERIFY = 1105,   // "Verify after download" (stored as "Verify")
    IDC_HISTORY = 1106,  // "History...": the flash history, whatever the connection does
};

// The controls of one image row ("Boot Loader", "Main Binary", "BP Engine").
struct ImageRowIds {
    int nGroup, nAddrCheck, nAddr, nPath, nBin, nDownload, nCrcButton, nCrc, nSize, nSizeLabel,
        nBytesLabel;
};
inline constexpr std::array<ImageRowIds, 4> kImageRows{{
    {},
    {IDC_ROW_GROUP1, IDC_ADDR_CHECK1, IDC_ADDR1, IDC_PATH1, IDC_BIN1, IDC_DOWNLOAD1,
     IDC_CRC_BUTTON1, IDC_CRC1, IDC_SIZE1, IDC_SIZE_LABEL1, IDC_BYTES_LABEL1},
    {IDC_ROW_GROUP2, IDC_ADDR_CHECK2, IDC_ADDR2, IDC_PATH2, IDC_BIN2, IDC_DOWNLOAD2,
     IDC_CRC_BUTTON2, IDC_CRC2, IDC_SIZE2, IDC_SIZE_LABEL2, IDC_BYTES_LABEL2},
    {IDC_ROW_GROUP3, IDC_ADDR_CHECK3, IDC_ADDR3, IDC_PATH3, IDC_BIN3, IDC_DOWNLOAD3,
     IDC_CRC_BUTTON3, IDC_CRC3, IDC_SIZE3, IDC_SIZE_LABEL3, IDC_BYTES_LABEL3},
}};
inline constexpr std::array<const char*, 4> kDefaultAddr{"", "10000000", "10020000", "10B00000"};

// The moments at which the enabling of the main dialog changes.
enum class Situation : uint8_t { Initialisation, Start, DisableControls, FinishOperation, Stop };
constexpr size_t kSituationCount = 5;

enum class Rule : uint8_t {
    Keep,  // unchanged
    On,
    Off,
    OnForBinType,  // on while the download type includes "BIN"
    OnForAll,      // All Download: on tab "Alder2"; on "Tamarin2" only with all three files
};

struct EnableRow {
    std::array<int, 9> anIds;  // 0 ends the list
    std::array<Rule, kSituationCount> aRule;
};

// Controls of the rows "Main Binary" and "BP Engine" are off on tab "Alder2"
// whatever a row says, since that tab hides them.
namespace enabling {
constexpr Rule K = Rule::Keep, E = Rule::On, D = Rule::Off, B = Rule::OnForBinType,
               A = Rule::OnForAll;
inline constexpr std::array<EnableRow, 14> kTable{{
    //                                                               Init START Disable Finish Stop
    {{IDC_COM_LIST, IDC_SPEED_LIST, IDC_MODE_LIST, IDC_PORT_EDIT}, {E, D, K, K, E}},
    {{IDC_START}, {E, D, K, K, E}},
    {{IDC_STOP}, {D, E, K, K, D}},
    {{IDC_TAB, IDC_AUTO, IDC_FAST}, {E, D, K, K, E}},
    {{IDC_ABOUT}, {E, K, D, E, K}},
    {{IDC_ERASE, IDC_DUMP}, {D, K, D, E, D}},
    {{IDC_DOWNLOAD1, IDC_DOWNLOAD2, IDC_DOWNLOAD3}, {D, K, D, E, D}},
    {{IDC_ALL_DOWNLOAD}, {D, K, D, A, D}},
    {{IDC_POWER_ON, IDC_VERIFY}, {E, K, D, E, D}},
    {{IDC_BIN1, IDC_BIN2, IDC_BIN3, IDC_PATH1, IDC_PATH2, IDC_PATH3}, {E, K, D, B, K}},
    {{IDC_ADDR_CHECK1, IDC_ADDR_CHECK2, IDC_ADDR_CHECK3}, {D, K, D, B, D}},
    {{IDC_ADDR1, IDC_ADDR2, IDC_ADDR3}, {D, K, D, K, D}},
    {{IDC_CRC_BUTTON1, IDC_CRC_BUTTON2, IDC_CRC_BUTTON3}, {E, K, D, E, K}},
    {{IDC_FORMAT, IDC_EXPLORER, IDC_STATUS, IDC_MFX_PATH, IDC_MFX_CHOOSE, IDC_MFX_CRC_BUTTON,
      IDC_TYPE_BIN, IDC_TYPE_MFX, IDC_TYPE_BIN_MFX},
     {D, K, D, E, D}},
}};
}  // namespace enabling
inline constexpr const auto& kEnableTable = enabling::kTable;

// Sector-selection dialog.
enum SectorControl : int {
    IDC_SECTOR_START = 1,  // "START" (OK)
    IDC_SECTOR_EXIT = 2,   // "EXIT" (Cancel)
    IDC_SECTOR_LIST = 1015,
    IDC_SECTOR_INVERT = 1016,
    IDC_SECTOR_ALL = 1017,
    IDC_SECTOR_CLEAR = 1018,
    IDC_SECTOR_SELECT = 1019,
    IDC_SECTOR_E2P = 1020,
    IDC_SECTOR_DEBUG = 1021,
    IDC_SECTOR_FROM = 1028,
    IDC_SECTOR_TO = 1029,
};

// MFX explorer dialog and its file-list pop-up.
enum ExplorerControl : int {
    IDC_EXPLORER_EXIT = 1,    // "EXIT" (OK)
    IDC_EXPLORER_CANCEL = 2,  // hidden and disabled
    IDC_EXPLORER_TREE = 1022,
    IDC_EXPLORER_LOG = 1023,
    IDC_EXPLORER_FILES = 1024,
    IDC_EXPLORER_PROGRESS = 1025,
    IDC_EXPLORER_NAND_DUMP = 1048,
};
enum ExplorerCommand : int {
    ID_FILE_DUMP = 32771,
    ID_FILE_DELETE = 32772,
    ID_FILE_STATUS = 32773,
};

}  // namespace oriel
