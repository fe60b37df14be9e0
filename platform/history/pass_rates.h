#pragma once
// Which slot, port or station fails more often than the others: each group's
// failures are weighed against the failure rate of all the other groups
// together. A group stands out when, at the others' rate, that many
// failures in that many jobs would happen by chance less than once in a
// hundred (one-sided binomial test), with at least kMinJobs jobs behind it.

#include <cstdint>
#include <vector>

#include "platform/history/history_store.h"

namespace history {

constexpr int64_t kMinJobsForVerdict = 5;
constexpr double kOutlierLevel = 0.01;

struct RateVerdict {
    RateRow row;
    double dPassRate = 0;  // 0..1
    double dPValue = 1;    // chance of this many failures or more at the others' rate
    bool bOutlier = false;
};

std::vector<RateVerdict> JudgeRates(const std::vector<RateRow>& rows);

// P(X >= k) for X ~ Binomial(n, p).
double BinomialUpperTail(int64_t n, int64_t k, double p);

}  // namespace history
