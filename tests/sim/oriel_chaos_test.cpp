// The hostile oriel handset in process, behind a downloader session: the
// handshake is left alone, the replies after the flash ID meet their faults,
// and an unplug takes the port away.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "oriel/engine/nor_sectors.h"
#include "sim/common/reply_chaos.h"
#include "tests/support/sim_session.h"

namespace {

using namespace std::chrono_literals;

class HostileOriel : public ::testing::Test, protected testsupport::CSimSession {
  protected:
    void Connect(uint64_t seed, const std::string& strLink = {}) {
        orielsim::HandsetOptions o;
        o.strLinkPath = strLink;
        o.chaos = {true, seed, 1.0};
        std::string error;
        ASSERT_TRUE(BootAndIdentify(o, error)) << "the handshake is spared: " << error;
    }
    void Erase(int sector) {
        oriel::g_abSectorSelected.fill(0);
        oriel::g_abSectorSelected[static_cast<size_t>(sector)] = 1;
        ASSERT_TRUE(session.Erase().StartSelected());
    }
    // The handset's notices come on its own thread: the loop is run in short
    // slices while waiting for one.
    bool WaitNotice(const std::string& text) {
        for (int i = 0; i < 250 && !NoticeHas(text); ++i) {
            RunUntil([] { return false; }, 20ms);
        }
        return NoticeHas(text);
    }
    bool NoticeHas(const std::string& text) {
        for (const std::string& n : handset->Notices()) {
            if (n.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

// The first seed whose first fault on a one-byte reply is of the kind.
uint64_t SeedWhoseFirstFaultIs(simchaos::Fault kind) {
    for (uint64_t seed = 1;; ++seed) {
        simchaos::CSeededChaos chaos(seed, 1.0);
        std::vector<uint8_t> reply = {0x03};
        std::string trace;
        if (chaos.OnReply(reply, trace) == kind) {
            return seed;
        }
    }
}

TEST_F(HostileOriel, TheFirstReplyAfterTheFlashIdIsSpoiledAndSaidSo) {
    Connect(SeedWhoseFirstFaultIs(simchaos::Fault::Drop));
    Erase(5);
    EXPECT_TRUE(WaitNotice("chaos: dropped reply 0 (1 bytes) [sync]"));
    // Nothing answered the sync: the erase waits.
    RunUntil([] { return false; }, 300ms);
    EXPECT_EQ(session.Engine().m_nState, oriel::WAIT_SYNC);
}

TEST_F(HostileOriel, AnUnplugTakesThePortAndItsLinkAway) {
    const std::string link = "/tmp/oriel_chaos_test_link_" + std::to_string(getpid());
    Connect(SeedWhoseFirstFaultIs(simchaos::Fault::Unplug), link);
    Erase(5);
    EXPECT_TRUE(WaitNotice("unplugged: the port is gone"));
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is gone";
    EXPECT_FALSE(NoticeHas("erase-sum")) << "nothing more is answered";
}

}  // namespace
