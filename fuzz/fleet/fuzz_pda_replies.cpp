// The PDA commands that read the device's 4-byte replies, fed any bytes: a
// reply is taken whole when four bytes are there and is a failure otherwise,
// O K U P alone acknowledges, the checksum and signature results are the
// second reply's value, and every command is one whole 1024-byte packet.
#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "fleet/pda/flash_acks.h"
#include "fleet/pda/pda_commands.h"
#include "fleet/pda/pda_packet.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/pda/slot_report.h"
#include "fleet/transport/slot_messages.h"
#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/pda_link.h"

namespace {

using Reply = std::array<uint8_t, 4>;

fuzzsupport::CPdaLink& Link() {
    static fuzzsupport::CPdaLink link(std::chrono::milliseconds(5));
    return link;
}

// What the host can read, as the target put it on the line.
class CModel {
  public:
    void Add(const std::vector<uint8_t>& bytes) {
        m_q.insert(m_q.end(), bytes.begin(), bytes.end());
    }
    // A 4-byte reply: whole when four bytes are there; otherwise the bytes
    // that are there are used up and the reply fails.
    bool Take(Reply& r) {
        if (m_q.size() < 4) {
            m_q.clear();
            return false;
        }
        for (uint8_t& b : r) {
            b = m_q.front();
            m_q.pop_front();
        }
        return true;
    }
    bool TakeAck() {
        Reply r{};
        return Take(r) && r == fleet::kFlashAck;
    }
    // Bytes the host did not take stay for the next command.
    size_t Left() const { return m_q.size(); }

  private:
    std::deque<uint8_t> m_q;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fleet::SetPauseScale(0);
    fuzzsupport::CPdaLink& link = Link();
    fuzzsupport::CFuzzInput in(pData, nSize);
    fleet::CPdaCommands pda(link.Port());
    fleet::CSlotReporter report(nullptr, 0);
    CModel model;
    // Nothing of an earlier input may be left on the line.
    link.ClearReplies();
    link.Take();

    for (int step = 0; step < 64 && !in.Empty(); ++step) {
        const uint8_t op = in.Byte() % 11;
        const std::vector<uint8_t> reply = in.ShortBytes();
        model.Add(reply);
        link.Reply(reply, model.Left());
        size_t nPackets = 1;
        Reply r{};
        switch (op) {
            case 0: {
                const bool bAck = pda.ReadFlashAck();
                FUZZ_CHECK(bAck == model.TakeAck(), "O K U P alone acknowledges");
                nPackets = 0;
                break;
            }
            case 1: {
                Reply got{};
                const bool bGot = pda.ReadReply(got);
                const bool bWant = model.Take(r);
                FUZZ_CHECK(bGot == bWant && (!bGot || got == r), "a reply is four bytes, whole");
                nPackets = 0;
                break;
            }
            case 2: {
                const uint32_t expected = in.U32();
                uint32_t device = 0;
                const uint32_t address = in.U32();
                const fleet::ChecksumResult res =
                    pda.VerifyChecksum(address, in.U32(), expected, device);
                fleet::ChecksumResult want = fleet::ChecksumResult::NoReply;
                if (model.Take(r) && model.Take(r)) {
                    want = fleet::GetLe32(r.data()) == expected ? fleet::ChecksumResult::Match
                                                                : fleet::ChecksumResult::Mismatch;
                    FUZZ_CHECK(device == fleet::GetLe32(r.data()), "the device's checksum");
                }
                FUZZ_CHECK(res == want, "the checksum is the second reply");
                break;
            }
            case 3: {
                const uint32_t ram = in.U32();
                const uint32_t accepted = pda.CheckSignature(ram, in.U32());
                uint32_t want = 0;
                if (model.Take(r) && model.Take(r)) {
                    want = fleet::GetLe32(r.data());
                }
                FUZZ_CHECK(accepted == want, "the signature result is the second reply");
                break;
            }
            case 4:
                pda.Erase(0x9CA80000, in.U32());
                model.Take(r);
                break;
            case 5:
                pda.SwitchPrepare();
                model.Take(r);
                break;
            case 6:
                pda.BacklightOff();
                model.Take(r);
                break;
            case 7:
                pda.Handover(fleet::PDA_HANDOVER_51, in.U32());
                model.Take(r);
                break;
            case 8: {
                const uint32_t blocks = in.Range(0, fleet::kRawBlocksPerAck * 6);
                const fleet::StepResult res = fleet::AwaitRawImageAcks(pda, report, blocks);
                bool bWant = true;
                for (uint32_t k = 0; k < blocks / fleet::kRawBlocksPerAck && bWant; ++k) {
                    bWant = model.TakeAck();
                }
                FUZZ_CHECK(res.Ok() == bWant, "every acknowledgement of a raw image");
                FUZZ_CHECK(res.Ok() || res.nCode == fleet::kPdaWriteFailed, "217 on a missing one");
                nPackets = 0;
                break;
            }
            case 9: {
                const uint32_t ackBlock = in.Range(1, 2048);
                const uint32_t piece = in.Range(0, ackBlock * 6);
                const fleet::StepResult res = fleet::AwaitPieceAcks(pda, report, piece, ackBlock);
                bool bWant = true;
                for (uint32_t k = 0; k < piece / ackBlock && bWant; ++k) {
                    bWant = model.TakeAck();
                }
                FUZZ_CHECK(res.Ok() == bWant, "every acknowledgement of a piece");
                nPackets = 0;
                break;
            }
            default:
                pda.Program(0x800F0000, in.U32(), 0x9CA80000);
                break;
        }
        const std::vector<uint8_t> written = link.Take();
        FUZZ_CHECK(written.size() == nPackets * fleet::kPdaPacketSize,
                   "a command is one whole packet");
    }
    return 0;
}
