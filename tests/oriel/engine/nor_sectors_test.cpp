// The NOR sector map, its lookups and the operator's address and sector texts.
#include "oriel/engine/nor_sectors.h"

#include <gtest/gtest.h>

#include "oriel/engine/console_view.h"
#include "oriel/engine/downloader_engine.h"
#include "oriel/link/serial_port.h"
#include "platform/scripted_prompts.h"

namespace {

using namespace oriel;

class NorMap : public ::testing::Test {
  protected:
    void SetUp() override {
        BuildNorSectorMap();
        g_nNorSectors = kNorSectorCount;
    }
};

TEST_F(NorMap, CoversSixteenMegabytesWithoutGaps) {
    uint32_t next = 0;
    for (int32_t i = 0; i < kNorSectorCount; ++i) {
        EXPECT_EQ(g_NorSectors[static_cast<size_t>(i)].nIndex, i);
        EXPECT_EQ(SectorOffset(i), next) << i;
        EXPECT_EQ(SectorBytes(i), (i < 4 || i >= 130) ? 0x8000u : 0x20000u) << i;
        next += SectorBytes(i);
    }
    EXPECT_EQ(next, 16u * 1024 * 1024);
    EXPECT_EQ(SectorOffset(130), 0xFE0000u);
    EXPECT_EQ(SectorOffset(91), 0xB00000u);  // BP Engine's default
}

TEST_F(NorMap, FindsSectorsByTheirExactStartOnly) {
    EXPECT_EQ(FindSectorByOffset(0x20000), 4);
    EXPECT_EQ(FindSectorByOffset(0x21000), -1);
    EXPECT_EQ(FindSectorByOffset(0), 0);
    EXPECT_EQ(FindSectorByOffset(0xFF8000), 133);
    EXPECT_EQ(FindSectorByOffset(0x1000000), -1);
    g_nNorSectors = 0;  // before a flash is identified nothing is usable
    EXPECT_EQ(FindSectorByOffset(0x20000), -1);
    EXPECT_EQ(GetSectorSizeClass(0x20000), kSizeClassNone);
}

TEST_F(NorMap, SizeClassesChooseTheWriteCommand) {
    EXPECT_EQ(GetSectorSizeClass(0xFE0000), 2);
    EXPECT_EQ(GetSectorSizeClass(0x20000), 0);
    EXPECT_EQ(GetSectorSizeClass(0x8000), 2);
    EXPECT_EQ(GetSectorSizeClass(0x21000), kSizeClassNone);
    EXPECT_EQ(SectorWriteOfClass(0).byCommand, 0xC7);
    EXPECT_EQ(SectorWriteOfClass(0).nChunks, 64);
    EXPECT_EQ(SectorWriteOfClass(1).byCommand, 0xFA);
    EXPECT_EQ(SectorWriteOfClass(1).nChunks, 32);
    EXPECT_EQ(SectorWriteOfClass(2).byCommand, 0xCC);
    EXPECT_EQ(SectorWriteOfClass(2).nChunks, 16);
    EXPECT_EQ(SectorWriteOfClass(3).byCommand, 0xFB);
    EXPECT_EQ(SectorWriteOfClass(3).nChunks, 8);
    EXPECT_EQ(SectorWriteOfClass(4).byCommand, 0xFC);
    EXPECT_EQ(SectorWriteOfClass(4).nChunks, 4);
}

TEST(ParseHexAddress, TakesDigitsUpToTheFirstOtherCharacter) {
    EXPECT_EQ(ParseHexAddress("0x10020000"), 0x10020000u);
    EXPECT_EQ(ParseHexAddress("10020000"), 0x10020000u);
    EXPECT_EQ(ParseHexAddress("0X10b00000"), 0x10B00000u);
    EXPECT_EQ(ParseHexAddress("10 020000"), 0x10u);
    EXPECT_EQ(ParseHexAddress(""), 0u);
    EXPECT_EQ(ParseHexAddress("g"), 0u);
    EXPECT_EQ(ParseHexAddress("1x2"), 0x1u);
    EXPECT_EQ(ParseHexAddress("123456789"), 0x23456789u);  // only the last eight digits count
}

class CheckAddress : public NorMap {
  protected:
    bool Check(const std::string& text) {
        console.m_strLog.clear();
        engine.m_nState = WAIT_SYNC;
        return CheckNorAddress(engine, text, offset, sector);
    }
    CSerialPort port;
    CRecordingConsole console;
    platform::CScriptedPrompts prompts;
    CDownloaderEngine engine{port, console, prompts};
    uint32_t offset = 0;
    int32_t sector = 0;
};

TEST_F(CheckAddress, RefusesAddressesOutsideTheNor) {
    for (const char* text : {"18000000", "0FFFFFFF", "", "zz"}) {
        EXPECT_FALSE(Check(text)) << text;
        EXPECT_EQ(console.m_strLog, "\r\n **Not defined Address Error ") << text;
        EXPECT_EQ(engine.m_nState, IDLE);
    }
}

TEST_F(CheckAddress, RefusesAnAddressInsideASector) {
    EXPECT_FALSE(Check("10030000"));
    EXPECT_EQ(console.m_strLog,
              "\r\n **NOR ADDR changed (0x00030000)... "
              "\r\n **Not Sector Begin Address(0x00030000) Error! ");
    EXPECT_EQ(engine.m_nState, IDLE);
}

TEST_F(CheckAddress, AcceptsASectorStartAndLogsItsOffsetAndIndex) {
    EXPECT_TRUE(Check("10008000"));
    EXPECT_EQ(offset, 0x8000u);
    EXPECT_EQ(sector, 1);
    EXPECT_EQ(console.m_strLog,
              "\r\n **NOR ADDR changed (0x00008000)... \r\n **Sector index(1)... ");
    EXPECT_EQ(engine.m_nState, WAIT_SYNC);
    EXPECT_TRUE(Check("0x10020000"));
    EXPECT_EQ(sector, 4);
    // Only the first 16 characters of the box are read.
    EXPECT_TRUE(Check("0x10020000      trailing"));
}

TEST_F(NorMap, SectorLinesReadAsTheDialogShowsThem) {
    EXPECT_EQ(SectorLine(0), "000: 0x10000000 ~ 0x10007FFF (32KBytes)");
    EXPECT_EQ(SectorLine(4), "004: 0x10020000 ~ 0x1003FFFF (128KBytes)");
    EXPECT_EQ(SectorLine(133), "133: 0x10FF8000 ~ 0x10FFFFFF (32KBytes)");
    EXPECT_EQ(SectorLines().size(), 134u);
}

TEST(ParseSectorList, AcceptsSinglesListsAndRangesInAscendingOrder) {
    std::vector<int32_t> s;
    std::string error;
    ASSERT_TRUE(ParseSectorList("4", s, error));
    EXPECT_EQ(s, std::vector<int32_t>{4});
    ASSERT_TRUE(ParseSectorList("133,5,2", s, error));
    EXPECT_EQ(s, (std::vector<int32_t>{2, 5, 133}));
    ASSERT_TRUE(ParseSectorList("4-7,0", s, error));
    EXPECT_EQ(s, (std::vector<int32_t>{0, 4, 5, 6, 7}));
}

TEST(ParseSectorList, RefusesUnknownAndOverlappingSectors) {
    std::vector<int32_t> s{99};
    std::string error;
    for (const char* bad :
         {"", "134", "-1", "4-", "7-4", "a", "4,,5", "4-6,5", "3,3", " 4", "1e2"}) {
        EXPECT_FALSE(ParseSectorList(bad, s, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(s, std::vector<int32_t>{99});  // untouched on failure
}

}  // namespace
