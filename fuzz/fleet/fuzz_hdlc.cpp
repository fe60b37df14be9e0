// The modem link's framing: every frame the host builds decodes back to its
// payload under its FCS-16, with no flag or escape byte left bare inside; and
// the judging of the modem's answers, fed any bytes, is consistent: an answer
// once complete stays complete as more bytes come, and what it is judged to
// say depends only on its first bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fleet/phone/hdlc_frame.h"
#include "fuzz/support/fuzz_check.h"
#include "fuzz/support/fuzz_input.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A frame as the modem takes it in: flag, un-escaped payload and FCS, flag,
// and the padding zero when the frame would end on a USB packet boundary.
Bytes Decode(const Bytes& frame) {
    FUZZ_CHECK(frame.size() >= 4 && frame.front() == fleet::kHdlcFlag,
               "a frame starts with a flag");
    size_t end = frame.size();
    if (frame.back() == 0x00) {
        --end;
        FUZZ_CHECK(end % fleet::kHdlcUsbPacket == 0, "padding only on a packet boundary");
    } else {
        FUZZ_CHECK(frame.size() % fleet::kHdlcUsbPacket != 0, "a boundary frame is padded");
    }
    FUZZ_CHECK(frame[end - 1] == fleet::kHdlcFlag, "a frame ends with a flag");
    Bytes body;
    for (size_t i = 1; i + 1 < end; ++i) {
        const uint8_t b = frame[i];
        FUZZ_CHECK(b != fleet::kHdlcFlag && b != 0x7F, "no bare flag inside a frame");
        if (b == fleet::kHdlcEscape) {
            FUZZ_CHECK(i + 2 < end, "an escape is followed by its byte");
            const uint8_t e = static_cast<uint8_t>(frame[++i] ^ fleet::kHdlcEscapeXor);
            FUZZ_CHECK(e == fleet::kHdlcEscape || e == fleet::kHdlcFlag || e == 0x7F,
                       "only the three special bytes are escaped");
            body.push_back(e);
        } else {
            body.push_back(b);
        }
    }
    FUZZ_CHECK(body.size() >= 2, "a frame carries its FCS");
    const uint16_t fcs = static_cast<uint16_t>(body[body.size() - 2] | (body.back() << 8));
    body.resize(body.size() - 2);
    FUZZ_CHECK(fleet::Fcs16(body.data(), body.size()) == fcs, "the FCS covers the payload");
    return body;
}

uint32_t Le(const Bytes& b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) {
        v = (v << 8) | b[at + static_cast<size_t>(i)];
    }
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzzsupport::CFuzzInput in(pData, nSize);
    const uint32_t start = in.U32();
    const uint32_t length = in.U32();
    const Bytes payload = in.ShortBytes();
    const Bytes answer = in.Rest();

    FUZZ_CHECK(Decode(fleet::HdlcFrame::Build(payload.data(), payload.size())) == payload,
               "a frame decodes to its payload");
    fleet::HdlcFrame framer;
    const Bytes open = Decode(framer.AreaOpen(start, length));
    FUZZ_CHECK(open.size() == 13 && open[0] == fleet::kHdlcAreaOpen && Le(open, 5, 4) == length &&
                   Le(open, 9, 4) == start,
               "an area-open frame names its area");
    uint8_t first[fleet::kParameterBlockSent];
    for (size_t i = 0; i < sizeof first; ++i) {
        first[i] = static_cast<uint8_t>(payload.empty() ? i : payload[i % payload.size()]);
    }
    const Bytes param = Decode(framer.ParameterBlock(start, first));
    FUZZ_CHECK(param.size() == 7 + sizeof first && Le(param, 1, 4) == start &&
                   std::memcmp(param.data() + 7, first, sizeof first) == 0,
               "a parameter-block frame carries its bytes");
    const Bytes launch1 = Decode(framer.Launch());
    const Bytes launch2 = Decode(framer.Launch());
    FUZZ_CHECK(Le(launch1, 1, 2) == 0x1010 && Le(launch2, 1, 2) == 0, "the launch word alternates");

    // The answer, judged as it grows byte by byte.
    bool bComplete = false;
    for (size_t n = 0; n <= answer.size(); ++n) {
        const bool b = fleet::IsAnswerComplete(answer.data(), n);
        FUZZ_CHECK(!bComplete || b, "a complete answer stays complete");
        bComplete = b;
        const uint8_t code = fleet::ResponseCode(answer.data(), n);
        const bool bAck = fleet::IsAcknowledgement(answer.data(), n);
        if (n >= 2) {
            FUZZ_CHECK(code == fleet::ResponseCode(answer.data(), 2) &&
                           bAck == fleet::IsAcknowledgement(answer.data(), 2),
                       "the judgement rests on the first two bytes");
        }
        FUZZ_CHECK(!bAck || code == fleet::kHdlcAck || (answer[0] == 'O' && answer[1] == 'K'),
                   "only 0x02 or \"OK\" acknowledges");
    }
    return 0;
}
