#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <functional>

#include "platform/holding_prompts.h"
#include "platform/qt_message_target.h"
#include "platform/qt_prompts.h"
#include "platform/scripted_prompts.h"

namespace {

TEST(Prompts, ScriptedPromptsRecordAndAnswerInOrder) {
    platform::CScriptedPrompts p;
    p.m_yesNoAnswers = {platform::MsgAnswer::No};
    p.m_openAnswers = {"/tmp/a.bin"};
    EXPECT_EQ(p.MessageBox("Fail!!", platform::MsgButtons::Ok, platform::MsgIcon::None),
              platform::MsgAnswer::Ok);
    EXPECT_EQ(
        p.MessageBox("Sure to FORMAT?", platform::MsgButtons::YesNo, platform::MsgIcon::Question),
        platform::MsgAnswer::No);
    EXPECT_EQ(p.MessageBox("again?", platform::MsgButtons::YesNo, platform::MsgIcon::Question),
              platform::MsgAnswer::Yes);  // the default once the script ran out
    EXPECT_EQ(p.OpenFile({}), "/tmp/a.bin");
    EXPECT_EQ(p.OpenFile({}), "");  // cancelled
    EXPECT_EQ(p.MessageTexts(), (std::vector<std::string>{"Fail!!", "Sure to FORMAT?", "again?"}));

    std::vector<uint8_t> flags(6, 0);
    p.m_sectorAnswers = {{5, 2, 99}, {}};
    EXPECT_TRUE(p.SelectSectors({}, flags));
    EXPECT_EQ(flags, (std::vector<uint8_t>{0, 0, 1, 0, 0, 1}));  // out-of-range index ignored
    EXPECT_FALSE(p.SelectSectors({}, flags));
}

TEST(Prompts, FileFiltersConvertToQtForm) {
    EXPECT_EQ(
        platform::ToQtFilter("bin file (*.bin)|*.bin|cla file (*.cla)|*.cla|all files (*.*)|*.*||"),
        "bin file (*.bin);;cla file (*.cla);;all files (*.*)");
    EXPECT_EQ(platform::ToQtFilter("Images|*.nb0;*.bin||"), "Images (*.nb0 *.bin)");
    EXPECT_EQ(platform::ToQtFilter(""), "");
}

}  // namespace

// --- the Qt boxes: default button, Esc and the close box ---

namespace {

// Runs fnAct on the modal box once it is up; the box must be up within 5 s.
template <typename Act>
platform::MsgAnswer ShowAndAct(platform::MsgButtons buttons, platform::MsgDefault def, Act fnAct,
                               QMessageBox** ppSeen = nullptr) {
    platform::CQtPrompts prompts;
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, fnAct, ppSeen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        poll->stop();
        poll->deleteLater();
        if (ppSeen != nullptr) {
            *ppSeen = box;
        }
        fnAct(box);
    });
    poll->start();
    return prompts.MessageBox("question?", buttons, platform::MsgIcon::Question, def);
}

void PressKey(QMessageBox* box, int key) {
    QTest::keyClick(box, static_cast<Qt::Key>(key));
}

}  // namespace

TEST(QtPrompts, EnterPressesTheDefaultButton) {
    using platform::MsgAnswer;
    using platform::MsgButtons;
    using platform::MsgDefault;
    auto enter = [](QMessageBox* b) { PressKey(b, Qt::Key_Return); };
    EXPECT_EQ(ShowAndAct(MsgButtons::YesNo, MsgDefault::First, enter), MsgAnswer::Yes);
    // "Sure to FORMAT?" asks with No as the default: Enter must not format.
    EXPECT_EQ(ShowAndAct(MsgButtons::YesNo, MsgDefault::Second, enter), MsgAnswer::No);
    EXPECT_EQ(ShowAndAct(MsgButtons::OkCancel, MsgDefault::First, enter), MsgAnswer::Ok);
    EXPECT_EQ(ShowAndAct(MsgButtons::OkCancel, MsgDefault::Second, enter), MsgAnswer::Cancel);
    EXPECT_EQ(ShowAndAct(MsgButtons::Ok, MsgDefault::First, enter), MsgAnswer::Ok);
}

TEST(QtPrompts, EscAndTheCloseBoxCancel) {
    using platform::MsgAnswer;
    using platform::MsgButtons;
    using platform::MsgDefault;
    auto esc = [](QMessageBox* b) { PressKey(b, Qt::Key_Escape); };
    auto close = [](QMessageBox* b) { b->close(); };
    for (const auto& act :
         {std::function<void(QMessageBox*)>(esc), std::function<void(QMessageBox*)>(close)}) {
        // An OK-only box that was not acknowledged says so.
        EXPECT_EQ(ShowAndAct(MsgButtons::Ok, MsgDefault::First, act), MsgAnswer::Cancel);
        EXPECT_EQ(ShowAndAct(MsgButtons::OkCancel, MsgDefault::First, act), MsgAnswer::Cancel);
        EXPECT_EQ(ShowAndAct(MsgButtons::YesNo, MsgDefault::First, act), MsgAnswer::No);
    }
}

TEST(QtPrompts, BoxesShowExactlyTheirButtons) {
    using platform::MsgButtons;
    using platform::MsgDefault;
    auto visibleTexts = [](QMessageBox* b) {
        QStringList texts;
        for (QAbstractButton* button : b->buttons()) {
            if (button->isVisibleTo(b)) {
                texts << button->text().remove('&');
            }
        }
        texts.sort();
        return texts.join(",").toStdString();
    };
    std::string seen;
    auto record = [&](QMessageBox* b) {
        seen = visibleTexts(b);
        b->close();
    };
    ShowAndAct(MsgButtons::Ok, MsgDefault::First, record);
    EXPECT_EQ(seen, "OK");
    ShowAndAct(MsgButtons::OkCancel, MsgDefault::First, record);
    EXPECT_EQ(seen, "Cancel,OK");
    ShowAndAct(MsgButtons::YesNo, MsgDefault::Second, record);
    EXPECT_EQ(seen, "No,Yes");
}

TEST(Prompts, ScriptedPromptsRecordTheDefaultAndAnswerOkBoxes) {
    platform::CScriptedPrompts p;
    p.m_okAnswers = {platform::MsgAnswer::Cancel};
    EXPECT_EQ(p.MessageBox("Unplug all devices and press OK!"), platform::MsgAnswer::Cancel);
    EXPECT_EQ(p.MessageBox("Quit anyway?", platform::MsgButtons::OkCancel),
              platform::MsgAnswer::Ok);
    p.MessageBox("Sure to FORMAT?", platform::MsgButtons::YesNo, platform::MsgIcon::Question,
                 platform::MsgDefault::Second);
    EXPECT_EQ(p.m_messages.back().def, platform::MsgDefault::Second);
}

// A real modal box runs a nested loop that delivers posted messages; the hold
// keeps receive wake-ups out of it and posts one when the box has returned.
TEST(QtPrompts, HeldWakeUpsComeBackAfterTheModalBox) {
    platform::CQtPrompts qt;
    platform::CHoldingPrompts held(qt);
    platform::CQtMessageTarget target;
    constexpr uint32_t kWake = platform::WM_USER + 1;
    int nHandled = 0;
    int nHandledWhileOpen = -1;
    target.SetHandler([&](const platform::WindowMessage& m) {
        if (m.nMsg == kWake && !held.HoldWakeUp()) {
            ++nHandled;
        }
    });
    held.SetRelease([&] { target.PostMessage(kWake, 1, 0); });
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [&, poll] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        poll->stop();
        poll->deleteLater();
        target.PostMessage(kWake, 1, 0);
        target.PostMessage(kWake, 1, 0);
        QTimer::singleShot(50, box, [&, box] {
            nHandledWhileOpen = nHandled;
            box->close();
        });
    });
    poll->start();
    held.MessageBox("Download completed!");
    EXPECT_EQ(nHandledWhileOpen, 0);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(nHandled, 1);
}
