// The slot board: what each worker code does to a slot, the counters and the
// end of a batch.
#include "fleet/ui/slot_board.h"

#include <gtest/gtest.h>

#include "fleet/transport/slot_messages.h"

namespace {

using namespace fleet;

class Board : public ::testing::Test {
  protected:
    // Detects n devices and starts them, as the window would.
    void Start(int n) {
        board.Detect();
        for (int i = 0; i < n; ++i) {
            const int slot = board.TopFreeSlot();
            ASSERT_EQ(slot, i);
            board.SlotAccepted(slot);
        }
        for (int i = 0; i < n; ++i) {
            board.SlotStarted(i);
        }
    }
    void Pda(int slot, uint32_t code, uint32_t arg = 0) {
        board.OnPdaProgress(code, MakeSlotLParam(slot, arg));
    }
    void Phone(int slot, uint32_t code, uint32_t arg = 0) {
        board.OnPhoneProgress(code, MakeSlotLParam(slot, arg));
    }
    const SlotView& S(int slot) { return board.Slot(slot); }

    std::vector<PlatformProfile> profiles = BuildPlatformProfiles();
    CSlotBoard board;
};

TEST_F(Board, StartsWithEightWaitingSlotsAndSlotZeroOnTop) {
    for (int i = 0; i < kBoardSlots; ++i) {
        EXPECT_EQ(S(i).strLabel, "PDA " + std::to_string(i + 1));
        EXPECT_EQ(S(i).strProgressText, "Waiting for starting..");
        EXPECT_EQ(S(i).nLabelColour, kColourYellow);
    }
    EXPECT_EQ(board.TopFreeSlot(), 0);
    EXPECT_EQ(board.CounterText(), "Currently 0 device(s) detected.");
    board.Detect();
    EXPECT_EQ(S(3).strProgressText, "Waiting for the device...");
}

TEST_F(Board, TheMostRecentlyFreedSlotIsReusedFirst) {
    Start(2);
    Pda(0, kPdaJobFinished, 1);
    board.ResetSlot(0);
    EXPECT_EQ(board.TopFreeSlot(), 0);
    EXPECT_EQ(board.m_nDetected, 1);
    EXPECT_EQ(board.m_nFinished, 0);
    EXPECT_EQ(S(0).strProgressText, "Waiting for the device...");
    board.SlotAccepted(0);
    EXPECT_EQ(board.TopFreeSlot(), 2);
}

TEST_F(Board, PdaCodesSetTextsLogsAndPositions) {
    board.SetProfile(&profiles[1]);
    Start(1);
    Pda(0, kPdaEbootUpdateStart);
    EXPECT_EQ(S(0).strProgressText, "Starting updating EBoot...");
    Pda(0, kPdaTransferStart, 0);
    const std::string region = profiles[1].pdaRegions[0].name;
    EXPECT_EQ(S(0).strProgressText, "Starting downloading region #1(" + region + ")..");
    Pda(0, kPdaTransferProgress, 57);
    EXPECT_EQ(S(0).strProgressText, "Downloading image 57%");
    EXPECT_EQ(S(0).nProgress, 57);
    Pda(0, kPdaProgramProgress, 150);
    EXPECT_EQ(S(0).strProgressText, "Writing image 100%");
    EXPECT_EQ(S(0).nProgress, 100);
    Pda(0, 318, 40);
    EXPECT_EQ(S(0).strProgressText, "Writing image(3) 40%");
    Pda(0, kPdaTransferDoneErasing);
    Pda(0, kPdaChecksumStart);
    Pda(0, kPdaChecksumCorrect);
    Pda(0, kPdaSignatureErase);  // signature mode goes on
    EXPECT_EQ(S(0).nState, kSlotDownloading);
    Pda(0, kPdaJobFinished, 1);
    EXPECT_EQ(S(0).strProgressText, "Job Done.");
    EXPECT_EQ(S(0).nState, kSlotFinished);
    EXPECT_EQ(S(0).nLabelColour, kColourBlue);
    EXPECT_TRUE(S(0).bResetEnabled);
    EXPECT_EQ(S(0).nProgress, 100);
    EXPECT_EQ(S(0).strLog,
              "PDA-Starting updating EBoot...\r\n"
              "PDA-Starting downloading region #1(" +
                  region +
                  ")..\r\n"
                  "PDA-Downloading finished and still waiting for erasing flash...\r\n"
                  "PDA-Checksum OK..\r\n"
                  "PDA-Erasing for the signed image...\r\n"
                  "Downloading finished...\r\n");
    EXPECT_NE(board.Log().find("PDA 1 finished downloading!\r\n"), std::string::npos);
}

TEST_F(Board, FailingCodesEndTheSlotRed) {
    Start(6);
    Pda(0, kPdaReadError, 1);
    Pda(1, kPdaChecksumWrong);
    Pda(2, kPdaWriteFailed, 42);
    Pda(3, kPdaLaunchFailed);
    Pda(4, kPdaSignatureFailed);
    Pda(5, 201);  // no such code
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(S(i).nState, kSlotFailed) << i;
        EXPECT_EQ(S(i).nLabelColour, kColourRed) << i;
        EXPECT_TRUE(S(i).bResetEnabled) << i;
    }
    EXPECT_EQ(S(0).strLog, "PDA-Read Error!!from image file\r\n");
    EXPECT_EQ(S(2).strLog, "PDA-Writing failed at 42%.\r\n");
    EXPECT_EQ(S(5).strProgressText, "Unsupported Message!!!");
    EXPECT_EQ(S(5).strLog, "PDA-Unsupported Message!!!\r\nThis case MUST NOT happen!!!\r\n");
    EXPECT_EQ(board.m_nFailed, 6);
    // A late code for an ended slot counts nothing twice.
    Pda(1, kPdaJobFinished);
    EXPECT_EQ(board.m_nFailed, 6);
    EXPECT_EQ(board.m_nFinished, 0);
}

TEST_F(Board, OnlyTheLastSlotToEndReenablesTheSelectors) {
    Start(3);
    EXPECT_FALSE(board.SelectorsEnabled());
    Pda(1, kPdaJobFinished);
    EXPECT_FALSE(board.SelectorsEnabled());
    Pda(0, kPdaChecksumWrong);
    EXPECT_FALSE(board.SelectorsEnabled());
    EXPECT_TRUE(board.CloseNeedsConfirmation());
    Phone(2, kPhoneJumpFailed);
    EXPECT_TRUE(board.SelectorsEnabled());
    EXPECT_TRUE(board.BatchEnded());
    // Detected 3, finished 1, failed 2: closing asks nothing.
    EXPECT_FALSE(board.CloseNeedsConfirmation());
}

TEST_F(Board, PhoneCodesRelabelTheSlotAndWatchForItsPort) {
    Start(1);
    Phone(0, kPhoneSwitchStart);
    EXPECT_EQ(S(0).strLabel, "PHONE 1");
    EXPECT_EQ(S(0).bWatching, 1);
    Phone(0, kPhonePortOpening, 8);  // port numbers are the tty's + 1
    EXPECT_EQ(S(0).bWatching, 0);
    EXPECT_EQ(S(0).strProgressText, "Attempting to open COM 7...");
    Phone(0, kPhoneAreaEraseStart, 3);
    EXPECT_EQ(S(0).strProgressText, "Waiting for erasing CODE area...");
    const std::string before = S(0).strProgressText;
    Phone(0, kPhoneAreaWriteStart, 7);
    EXPECT_EQ(S(0).strProgressText, before);  // 311 sets no text
    Phone(0, kPhoneWriteProgress, 40);
    EXPECT_EQ(S(0).strProgressText, "Writing image 40%");
    EXPECT_EQ(S(0).nProgress, 40);
    EXPECT_EQ(S(0).strLog,
              "PHONE-Switching USB to PHONE...\r\n"
              "PHONE-Attempting to open COM 7...\r\n"
              "PHONE-Waiting for erasing CODE area...\r\n"
              "PHONE-Writing BIB area started.\r\n");
    EXPECT_EQ(S(0).nState, kSlotDownloading);  // the phone side never finishes a job
    Phone(0, 316);
    EXPECT_EQ(S(0).nState, kSlotFailed);
    EXPECT_EQ(S(0).strProgressText, "Unsupported Message!!!");
}

TEST_F(Board, PortOpenFailureNamesTheComNumber) {
    Start(1);
    Phone(0, kPhonePortOpenFailed, 13);
    EXPECT_EQ(S(0).strLog, "PHONE-Port open failed...: COM 12\r\n");
    EXPECT_EQ(S(0).nState, kSlotFailed);
}

TEST_F(Board, SlotLogsTakeWorkerTextsUnchangedAndBoundLongOnes) {
    Start(1);
    board.OnSlotLog(0, "PDA-checksum 0x1234 / 0x1235 %s %n\r\n");
    EXPECT_EQ(S(0).strLog, "PDA-checksum 0x1234 / 0x1235 %s %n\r\n");
    board.OnSlotLog(-1, "nowhere");
    board.OnSlotLog(9, "nowhere");
    // A long text is cut at the line limit, never inside a UTF-8 character.
    std::string text(kLogLineLimit - 1, 'x');
    text += "\xC3\xA9 and more";
    board.AppendSlotLog(1, text);
    EXPECT_EQ(S(1).strLog, std::string(kLogLineLimit - 1, 'x'));
    const size_t before = board.Log().size();
    board.AppendLog(std::string(2000, 'y'));
    EXPECT_EQ(board.Log().size() - before, kLogLineLimit);
}

TEST_F(Board, ASlotThatNeverRanHasAnEmptyLog) {
    EXPECT_TRUE(S(4).strLog.empty());
    board.ResetSlot(4);  // not ended: nothing to reset, no counter moves
    EXPECT_EQ(board.m_nDetected, 0);
    EXPECT_EQ(board.m_nFree, kBoardSlots);
}

TEST_F(Board, ResetAllStartsOver) {
    Start(2);
    Pda(0, kPdaJobFinished);
    board.ResetAll();
    EXPECT_EQ(board.m_nDetected, 0);
    EXPECT_EQ(board.m_nFinished, 0);
    EXPECT_EQ(board.TopFreeSlot(), 0);
    EXPECT_TRUE(board.Log().empty());
    EXPECT_EQ(board.m_bDetectArmed, 0);
}

}  // namespace
