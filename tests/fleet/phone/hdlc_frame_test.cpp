// HDLC frames of the modem link: the FCS, escaping (0x7F too, FCS bytes
// too), the padding zero after a 64-byte frame, the payloads of every frame
// of the phone phase, and how answers are judged.
#include "fleet/phone/hdlc_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// FCS-16 bit by bit, apart from the table the code uses.
uint16_t BitwiseFcs(const Bytes& b) {
    uint16_t f = 0xFFFF;
    for (uint8_t x : b) {
        f ^= x;
        for (int i = 0; i < 8; ++i) {
            f = (f & 1) != 0 ? static_cast<uint16_t>((f >> 1) ^ 0x8408)
                             : static_cast<uint16_t>(f >> 1);
        }
    }
    return static_cast<uint16_t>(~f);
}

Bytes Frame(const Bytes& payload) {
    return fleet::HdlcFrame::Build(payload.data(), payload.size());
}

// Un-stuffs a frame as the modem does: the payload with its FCS checked.
Bytes Unstuff(const Bytes& frame, bool& bFcsOk) {
    Bytes body;
    EXPECT_EQ(frame.front(), 0x7E);
    size_t end = frame.size() - 1;
    if (frame.back() == 0x00) {
        --end;
    }
    EXPECT_EQ(frame[end], 0x7E);
    for (size_t i = 1; i < end; ++i) {
        EXPECT_NE(frame[i], 0x7E) << "a flag inside the frame at " << i;
        EXPECT_NE(frame[i], 0x7F) << "0x7F unescaped at " << i;
        if (frame[i] == 0x7D) {
            body.push_back(static_cast<uint8_t>(frame[++i] ^ 0x20));
        } else {
            body.push_back(frame[i]);
        }
    }
    const uint16_t fcs = static_cast<uint16_t>(body[body.size() - 2] | body[body.size() - 1] << 8);
    body.resize(body.size() - 2);
    bFcsOk = BitwiseFcs(body) == fcs;
    return body;
}

TEST(Fcs16Test, CheckValueOfTheNineDigits) {
    const std::string digits = "123456789";
    EXPECT_EQ(fleet::Fcs16(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0x906E);
    EXPECT_EQ(fleet::Fcs16(nullptr, 0), 0x0000);
    for (const Bytes& b : {Bytes{0xA0}, Bytes{0x7E, 0x7D, 0x7F}, Bytes(300, 0x55)}) {
        EXPECT_EQ(fleet::Fcs16(b.data(), b.size()), BitwiseFcs(b));
    }
}

TEST(HdlcFrameTest, GreetingIsFiveBytes) {
    const Bytes frame = fleet::HdlcFrame().Greeting();
    const uint16_t fcs = BitwiseFcs({0xA0});
    ASSERT_EQ(frame.size(), 5u);
    EXPECT_EQ(frame,
              (Bytes{0x7E, 0xA0, static_cast<uint8_t>(fcs), static_cast<uint8_t>(fcs >> 8), 0x7E}));
}

TEST(HdlcFrameTest, EscapesFlagEscapeAnd7F) {
    const Bytes frame = Frame({0x7F, 0x7D, 0x7E, 0x20});
    const Bytes head(frame.begin(), frame.begin() + 8);
    EXPECT_EQ(head, (Bytes{0x7E, 0x7D, 0x5F, 0x7D, 0x5D, 0x7D, 0x5E, 0x20}));
    bool bOk = false;
    EXPECT_EQ(Unstuff(frame, bOk), (Bytes{0x7F, 0x7D, 0x7E, 0x20}));
    EXPECT_TRUE(bOk);
}

TEST(HdlcFrameTest, FcsBytesAreEscapedLikePayload) {
    // Find one-byte and two-byte payloads whose FCS holds each special value.
    for (uint8_t special : {uint8_t{0x7D}, uint8_t{0x7E}, uint8_t{0x7F}}) {
        bool bFound = false;
        for (unsigned v = 0; v < 0x10000 && !bFound; ++v) {
            const Bytes payload = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
            const uint16_t fcs = BitwiseFcs(payload);
            if ((fcs & 0xFF) != special && (fcs >> 8) != special) {
                continue;
            }
            bFound = true;
            const Bytes frame = Frame(payload);
            bool bOk = false;
            EXPECT_EQ(Unstuff(frame, bOk), payload);
            EXPECT_TRUE(bOk);
        }
        EXPECT_TRUE(bFound) << int{special};
    }
}

// The payload with its first byte changed until neither it nor an FCS byte
// needs escaping, so that the frame's length is known.
Bytes WithPlainFcs(Bytes payload) {
    auto plain = [](uint8_t b) { return b != 0x7D && b != 0x7E && b != 0x7F; };
    for (unsigned v = 0;; ++v) {
        payload[0] = static_cast<uint8_t>(v);
        const uint16_t fcs = BitwiseFcs(payload);
        if (plain(payload[0]) && plain(static_cast<uint8_t>(fcs)) &&
            plain(static_cast<uint8_t>(fcs >> 8))) {
            return payload;
        }
    }
}

TEST(HdlcFrameTest, A64ByteFrameIsFollowedByOneZero) {
    // 1 + 60 + 2 + 1 = 64 bytes.
    const Bytes frame = Frame(WithPlainFcs(Bytes(60, 0x11)));
    ASSERT_EQ(frame.size(), 65u);
    EXPECT_EQ(frame[63], 0x7E);
    EXPECT_EQ(frame[64], 0x00);

    // 64 bytes only after stuffing: 59 payload bytes, one of them escaped.
    Bytes stuffed(59, 0x22);
    stuffed[10] = 0x7E;
    const Bytes frame2 = Frame(WithPlainFcs(stuffed));
    ASSERT_EQ(frame2.size(), 65u);
    EXPECT_EQ(frame2.back(), 0x00);

    // The zero follows exactly the frames of a multiple of 64 bytes.
    for (size_t n = 0; n < 200; ++n) {
        const Bytes f = Frame(Bytes(n, static_cast<uint8_t>(n)));
        if (f.back() == 0x00) {
            EXPECT_EQ((f.size() - 1) % 64, 0u) << n;
        } else {
            EXPECT_NE(f.size() % 64, 0u) << n;
        }
    }
}

TEST(HdlcFrameTest, PayloadsOfThePhonePhase) {
    fleet::HdlcFrame framer;
    bool bOk = false;
    EXPECT_EQ(Unstuff(framer.Launch(), bOk), (Bytes{0xC0, 0x10, 0x10, 0x00, 0x00}));
    EXPECT_EQ(Unstuff(framer.Launch(), bOk), (Bytes{0xC0, 0x00, 0x00, 0x00, 0x00}))
        << "the second launch of the same framer";
    EXPECT_EQ(Unstuff(framer.Launch(), bOk), (Bytes{0xC0, 0x10, 0x10, 0x00, 0x00}));
    EXPECT_EQ(Unstuff(fleet::HdlcFrame().Launch(), bOk), (Bytes{0xC0, 0x10, 0x10, 0x00, 0x00}))
        << "a fresh framer";

    Bytes efs(13, 0);
    efs[0] = 0xE0;
    EXPECT_EQ(Unstuff(framer.EfsErase(), bOk), efs);
    EXPECT_EQ(Unstuff(framer.AreaOpen(0x00380000, 0x01300000), bOk),
              (Bytes{0xEF, 0, 0, 0, 0, 0x00, 0x00, 0x30, 0x01, 0x00, 0x00, 0x38, 0x00}));
    EXPECT_TRUE(bOk);

    uint8_t first[24];
    for (int i = 0; i < 24; ++i) {
        first[i] = static_cast<uint8_t>(0x70 + i);  // 0x7D..0x7F among them
    }
    const Bytes param = Unstuff(framer.ParameterBlock(0x12345678, first), bOk);
    EXPECT_TRUE(bOk);
    ASSERT_EQ(param.size(), 31u);
    EXPECT_EQ(Bytes(param.begin(), param.begin() + 7),
              (Bytes{0xFF, 0x78, 0x56, 0x34, 0x12, 0x00, 0x02}));
    EXPECT_TRUE(std::equal(first, first + 24, param.begin() + 7));

    uint8_t block[1024];
    for (int i = 0; i < 1024; ++i) {
        block[i] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(fleet::HdlcFrame::DataBlock(block), Bytes(block, block + 1024))
        << "image data goes unframed";
}

TEST(HdlcAnswerTest, WhatCountsAsAnAcknowledgement) {
    struct Case {
        Bytes answer;
        bool bAck;
        uint8_t code;
    };
    const Case cases[] = {
        {{0x7E, 0x02, 0x6A, 0xD3, 0x7E}, true, 0x02},
        {{0x02}, true, 0x02},
        {{'O', 'K'}, true, 'O'},
        {{'O', 'K', 'A', 'Y'}, true, 'O'},
        {{0x7E, 0x03, 0x4A, 0xDB, 0x7E}, false, 0x03},
        {{0x7F, 0x02}, true, 0x02},
        {{0x03}, false, 0x03},
        {{0x7E}, false, 0x00},
        {{'O'}, false, 'O'},
        {{}, false, 0x00},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fleet::IsAcknowledgement(c.answer.data(), c.answer.size()), c.bAck)
            << ::testing::PrintToString(c.answer);
        EXPECT_EQ(fleet::ResponseCode(c.answer.data(), c.answer.size()), c.code)
            << ::testing::PrintToString(c.answer);
    }
    // Enough of an answer to judge: a frame up to its closing flag.
    const Bytes part = {0x7E, 0x02};
    EXPECT_FALSE(fleet::IsAnswerComplete(part.data(), part.size()));
    const Bytes whole = {0x7E, 0x02, 0x6A, 0xD3, 0x7E};
    EXPECT_TRUE(fleet::IsAnswerComplete(whole.data(), whole.size()));
    const Bytes bare = {0x02};
    EXPECT_TRUE(fleet::IsAnswerComplete(bare.data(), bare.size()));
    const Bytes o = {'O'};
    EXPECT_FALSE(fleet::IsAnswerComplete(o.data(), o.size()));
}

}  // namespace
