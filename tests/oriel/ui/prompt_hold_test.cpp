// Receive wake-ups that arrive while a prompt is open wait until it returns.
// A modal prompt runs a nested event loop; the prompts here stand for one: while
// open they feed bytes and deliver wake-ups, as that loop would.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>

#include "oriel/engine/console_view.h"
#include "oriel/mfx/code_page.h"
#include "oriel/mfx/mfx_explorer.h"
#include "oriel/ui/downloader_session.h"
#include "tests/support/recording_explorer_view.h"
#include "tests/support/recording_sink.h"
#include "tests/support/wire_port.h"

namespace {

using namespace oriel;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

class CNestedLoopPrompts : public platform::CScriptedPrompts {
  public:
    std::function<void()> m_fnWhileOpen;

    std::string OpenFile(const platform::FileDialogRequest& request) override {
        RunNested();
        return CScriptedPrompts::OpenFile(request);
    }
    std::string SaveFile(const platform::FileDialogRequest& request) override {
        RunNested();
        return CScriptedPrompts::SaveFile(request);
    }
    bool SelectSectors(const platform::SectorChoiceRequest& request,
                       std::vector<uint8_t>& flags) override {
        RunNested();
        return CScriptedPrompts::SelectSectors(request, flags);
    }

  protected:
    platform::MsgAnswer ShowMessageBox(const std::string& text, platform::MsgButtons buttons,
                                       platform::MsgIcon icon, platform::MsgDefault def) override {
        RunNested();
        return CScriptedPrompts::ShowMessageBox(text, buttons, icon, def);
    }

  private:
    void RunNested() {
        if (m_fnWhileOpen) {
            m_fnWhileOpen();
        }
    }
};

class PromptHold : public ::testing::Test, protected testsupport::CWirePort {
  protected:
    void SetUp() override { port.SetMessageSink(&sink); }

    // What the event loop does with a receive wake-up.
    void Deliver() { session.OnMessage({WM_COMM_RXCHAR, 1, 0}); }
    // Delivers what was posted (the released wake-ups) until pred holds.
    bool PumpUntil(const std::function<bool()>& pred) {
        return sink.PumpUntil([this](const platform::WindowMessage& m) { session.OnMessage(m); },
                              pred, 1s);
    }

    CNestedLoopPrompts nested;
    CRecordingConsole console;
    testsupport::CRecordingSink sink;
    CDownloaderSession session{port, console, nested, nullptr};
};

TEST_F(PromptHold, EachPromptKindHoldsWakeUpsAndReleasesThemOnceInOrder) {
    Bytes got;
    int nHandled = 0;
    session.TakeOverReceive([&] {
        ++nHandled;
        uint8_t by = 0;
        while (port.Pop(by)) {
            got.push_back(by);
        }
    });
    nested.m_fnWhileOpen = [&] {
        Feed({0x11});
        Deliver();
        Feed({0x22});
        Deliver();
        EXPECT_EQ(nHandled, 0) << "a byte was handled inside the prompt";
    };
    platform::IPrompts& held = session.Prompts();
    const std::vector<std::pair<const char*, std::function<void()>>> kinds = {
        {"message box", [&] { held.MessageBox("Download completed!"); }},
        {"file dialog", [&] { held.SaveFile({}); }},
        {"sector dialog",
         [&] {
             std::vector<uint8_t> flags(134, 0);
             held.SelectSectors({}, flags);
         }},
    };
    for (const auto& [name, show] : kinds) {
        SCOPED_TRACE(name);
        got.clear();
        nHandled = 0;
        const size_t nPostedBefore = sink.TotalPosted();
        show();
        EXPECT_EQ(nHandled, 0);
        EXPECT_EQ(sink.TotalPosted() - nPostedBefore, 1u) << "two held wake-ups, one release";
        ASSERT_TRUE(PumpUntil([&] { return nHandled > 0; }));
        EXPECT_EQ(got, (Bytes{0x11, 0x22}));
        EXPECT_FALSE(session.Prompts().IsOpen());
    }
}

TEST_F(PromptHold, APromptInsideAPromptReleasesWhenTheOuterOneReturns) {
    int nHandled = 0;
    session.TakeOverReceive([&] {
        ++nHandled;
        uint8_t by = 0;
        while (port.Pop(by)) {
        }
    });
    int nDepth = 0;
    size_t nPostedInside = 0;
    nested.m_fnWhileOpen = [&] {
        if (++nDepth == 1) {
            Feed({0x01});
            Deliver();
            session.Prompts().MessageBox("inner");
            nPostedInside = sink.TotalPosted();
        }
    };
    session.Prompts().MessageBox("outer");
    EXPECT_EQ(nPostedInside, 0u) << "released while the outer prompt was still open";
    EXPECT_EQ(sink.TotalPosted(), 1u);
    EXPECT_EQ(nHandled, 0);
    ASSERT_TRUE(PumpUntil([&] { return nHandled > 0; }));
}

// A port that goes away while a handler's prompt is open must not stop the
// session under that handler; it is handled once the prompt has returned.
TEST_F(PromptHold, APortThatGoesAwayDuringAPromptIsHandledAfterIt) {
    bool bOpenInside = false;
    nested.m_fnWhileOpen = [&] {
        session.OnMessage({WM_COMM_NOTICE, 1, kNoticePortGone});
        bOpenInside = port.IsOpen();
    };
    session.Prompts().MessageBox("Download completed!");
    nested.m_fnWhileOpen = nullptr;
    EXPECT_TRUE(bOpenInside);
    EXPECT_TRUE(port.IsOpen());
    ASSERT_TRUE(PumpUntil([&] { return !port.IsOpen(); }));
    EXPECT_EQ(nested.MessageTexts().back(), "The handset's port went away!");
}

TEST_F(PromptHold, WithNoPromptOpenWakeUpsAreHandledAtOnce) {
    int nHandled = 0;
    session.TakeOverReceive([&] { ++nHandled; });
    Feed({0x01});
    Deliver();
    EXPECT_EQ(nHandled, 1);
    EXPECT_EQ(sink.TotalPosted(), 0u);
}

using testsupport::ListEntry;

// A stray byte while the explorer's save dialog is open used to be taken as a
// fifth size byte (past the 4-byte buffer) and to open a second save dialog.
TEST_F(PromptHold, AStrayByteDuringTheExplorersSaveDialogWaitsForIt) {
    char dir[] = "/tmp/oriel_hold_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string out = std::string(dir) + "/boot.hex";
    SetAnsiCodePage("ISO-8859-1");
    testsupport::RecordingView view;
    CMfxExplorer exp(port, session.Prompts(), view);
    session.TakeOverReceive([&] { exp.OnExplorerRx(); });
    auto reply = [&](const Bytes& b) {
        Feed(b);
        Deliver();
    };
    exp.Open();
    ASSERT_EQ(Sent(1), Bytes{0xD9});
    reply({0x00});
    ASSERT_EQ(Sent(1), Bytes{0xDA});
    reply({0xDA});
    ASSERT_EQ(Sent(3), (Bytes{0xE5, 0x01, 0x2F}));
    const Bytes entry = ListEntry(1, "boot.cfg");
    reply(entry);
    ASSERT_EQ(Sent(1), Bytes{0x01});
    reply({0xE7});
    ASSERT_TRUE(exp.Idle());

    exp.DumpSelectedFile("boot.cfg");
    SentNow();
    nested.m_saveAnswers = {out};
    bool bStraySent = false;
    nested.m_fnWhileOpen = [&] {
        if (!bStraySent) {
            bStraySent = true;
            reply({0x55});
        }
    };
    reply({0xE9, 0x00, 0x00, 0x00, 0x04});
    nested.m_fnWhileOpen = nullptr;
    EXPECT_EQ(nested.m_saveRequests.size(), 1u);
    EXPECT_EQ(exp.State(), CMfxExplorer::EXP_FILE_DATA);
    EXPECT_EQ(Sent(1), Bytes{0xEA});
    // The held byte is the first data byte once the dialog has returned.
    ASSERT_TRUE(PumpUntil([&] { return port.Count() == 0; }));
    reply({0x01, 0x02, 0x03, static_cast<uint8_t>(0x55 + 1 + 2 + 3)});
    EXPECT_EQ(Sent(1), Bytes{0x01});
    EXPECT_TRUE(exp.Idle());
    EXPECT_EQ(nested.MessageTexts().back(), "Dump Completed!");
    session.GiveBackReceive();
    SetAnsiCodePage("");
    std::remove(out.c_str());
    rmdir(dir);
}

}  // namespace
