// When a slot stands out: the binomial tail and the verdicts on it.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/history/pass_rates.h"

namespace {

using history::BinomialUpperTail;
using history::JudgeRates;
using history::RateRow;

TEST(PassRates, TheBinomialTailIsTheChanceOfThatManyFailuresOrMore) {
    EXPECT_DOUBLE_EQ(BinomialUpperTail(10, 0, 0.3), 1.0);
    EXPECT_NEAR(BinomialUpperTail(10, 10, 0.5), 1.0 / 1024, 1e-12);
    EXPECT_NEAR(BinomialUpperTail(10, 9, 0.5), 11.0 / 1024, 1e-12);
    EXPECT_NEAR(BinomialUpperTail(1, 1, 0.2), 0.2, 1e-12);
    EXPECT_DOUBLE_EQ(BinomialUpperTail(5, 6, 0.5), 0.0);
    // Large counts stay finite.
    const double p = BinomialUpperTail(5000, 400, 0.05);
    EXPECT_TRUE(std::isfinite(p));
    EXPECT_GT(p, 0.0);
    EXPECT_LT(p, 1e-15);
}

TEST(PassRates, OnlyASlotFailingClearlyMoreThanTheOthersIsFlagged) {
    // Even rates: nothing stands out.
    auto v = JudgeRates({{"1", 50, 2}, {"2", 50, 3}, {"3", 50, 2}, {"4", 50, 1}});
    for (const auto& r : v) {
        EXPECT_FALSE(r.bOutlier) << r.row.strKey;
    }
    // One worn port.
    v = JudgeRates({{"1", 50, 1}, {"2", 50, 14}, {"3", 50, 2}, {"4", 50, 1}});
    EXPECT_FALSE(v[0].bOutlier);
    EXPECT_TRUE(v[1].bOutlier);
    EXPECT_LT(v[1].dPValue, 0.01);
    EXPECT_NEAR(v[1].dPassRate, 0.72, 1e-9);
    // Too few jobs for a verdict, however they went.
    v = JudgeRates({{"1", 4, 4}, {"2", 100, 0}});
    EXPECT_FALSE(v[0].bOutlier);
    // A single failure on a line that never fails elsewhere is no alarm.
    v = JudgeRates({{"1", 20, 1}, {"2", 20, 0}, {"3", 20, 0}});
    EXPECT_FALSE(v[0].bOutlier);
    // One group alone has nothing to be compared with.
    v = JudgeRates({{"line-1", 30, 30}});
    EXPECT_FALSE(v[0].bOutlier);
}

}  // namespace
