#include <gtest/gtest.h>

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
