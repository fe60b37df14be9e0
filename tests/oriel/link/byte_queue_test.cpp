#include "oriel/link/byte_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

TEST(ByteQueue, HoldsOneLessThanItsStorage) {
    auto q = std::make_unique<oriel::CByteQueue>();
    for (int i = 0; i < 16383; ++i) {
        ASSERT_TRUE(q->Push(static_cast<uint8_t>(i)));
    }
    EXPECT_EQ(q->Count(), 16383);
    EXPECT_FALSE(q->Push(0));
    uint8_t by = 0;
    ASSERT_TRUE(q->Pop(by));
    EXPECT_EQ(by, 0);
    EXPECT_TRUE(q->Push(0xEE));
    EXPECT_EQ(q->Count(), 16383);
}

TEST(ByteQueue, PushAllIsAllOrNothingAndWraps) {
    auto q = std::make_unique<oriel::CByteQueue>();
    std::vector<uint8_t> chunk(10000);
    for (size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<uint8_t>(i * 7);
    }
    ASSERT_TRUE(q->PushAll(chunk.data(), 10000));
    EXPECT_FALSE(q->PushAll(chunk.data(), 6384));  // would make 16384
    EXPECT_EQ(q->Count(), 10000);
    uint8_t by = 0;
    for (int i = 0; i < 9000; ++i) {
        ASSERT_TRUE(q->Pop(by));
    }
    ASSERT_TRUE(q->PushAll(chunk.data(), 10000));  // crosses the end of the storage
    EXPECT_EQ(q->Count(), 11000);
    for (size_t i = 9000; i < 10000; ++i) {
        ASSERT_TRUE(q->Pop(by));
        ASSERT_EQ(by, chunk[i]);
    }
    for (size_t i = 0; i < 10000; ++i) {
        ASSERT_TRUE(q->Pop(by));
        ASSERT_EQ(by, chunk[i]) << i;
    }
    EXPECT_FALSE(q->Pop(by));
    EXPECT_EQ(q->Count(), 0);
}

TEST(ByteQueue, OneProducerOneConsumerSeeEveryByteInOrder) {
    auto q = std::make_unique<oriel::CByteQueue>();
    constexpr int kTotal = 2'000'000;
    std::thread producer([&] {
        uint8_t chunk[97];
        int next = 0;
        while (next < kTotal) {
            const int n = std::min<int>(97, kTotal - next);
            for (int i = 0; i < n; ++i) {
                chunk[i] = static_cast<uint8_t>((next + i) * 31);
            }
            if (q->PushAll(chunk, n)) {
                next += n;
            } else {
                std::this_thread::yield();
            }
        }
    });
    int seen = 0;
    uint8_t by = 0;
    while (seen < kTotal) {
        if (q->Pop(by)) {
            ASSERT_EQ(by, static_cast<uint8_t>(seen * 31)) << seen;
            ++seen;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(q->Count(), 0);
}

}  // namespace
