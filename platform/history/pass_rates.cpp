#include "platform/history/pass_rates.h"

#include <cmath>

namespace history {

double BinomialUpperTail(int64_t n, int64_t k, double p) {
    if (k <= 0) {
        return 1.0;
    }
    if (k > n) {
        return 0.0;
    }
    if (p <= 0.0) {
        return 0.0;
    }
    if (p >= 1.0) {
        return 1.0;
    }
    // Summed in log space: n may be in the thousands.
    const double lp = std::log(p);
    const double lq = std::log1p(-p);
    const double ln = std::lgamma(static_cast<double>(n) + 1);
    double sum = 0;
    for (int64_t i = k; i <= n; ++i) {
        const double di = static_cast<double>(i);
        const double term = ln - std::lgamma(di + 1) - std::lgamma(static_cast<double>(n - i) + 1) +
                            di * lp + static_cast<double>(n - i) * lq;
        sum += std::exp(term);
    }
    return std::min(sum, 1.0);
}

std::vector<RateVerdict> JudgeRates(const std::vector<RateRow>& rows) {
    int64_t nJobs = 0;
    int64_t nFailed = 0;
    for (const RateRow& r : rows) {
        nJobs += r.nJobs;
        nFailed += r.nFailed;
    }
    std::vector<RateVerdict> out;
    for (const RateRow& r : rows) {
        RateVerdict v;
        v.row = r;
        v.dPassRate = r.nJobs > 0
                          ? static_cast<double>(r.nJobs - r.nFailed) / static_cast<double>(r.nJobs)
                          : 0;
        const int64_t nOtherJobs = nJobs - r.nJobs;
        const int64_t nOtherFailed = nFailed - r.nFailed;
        if (nOtherJobs > 0 && r.nJobs >= kMinJobsForVerdict) {
            // One failure and one pass added to the others: a line that never
            // failed elsewhere must not make a single failure look alarming.
            const double pOthers =
                (static_cast<double>(nOtherFailed) + 1) / (static_cast<double>(nOtherJobs) + 2);
            v.dPValue = BinomialUpperTail(r.nJobs, r.nFailed, pOthers);
            const double pThis = static_cast<double>(r.nFailed) / static_cast<double>(r.nJobs);
            v.bOutlier = pThis > pOthers && v.dPValue < kOutlierLevel;
        }
        out.push_back(v);
    }
    return out;
}

}  // namespace history
