#include "sim/common/reply_chaos.h"
#include "platform/option_value.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace simchaos {

namespace {

uint64_t SplitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

std::string Hex(uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

}  // namespace

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::None:
            return "none";
        case Fault::FlipBit:
            return "flipped bit";
        case Fault::Drop:
            return "dropped reply";
        case Fault::Extra:
            return "extra byte";
        case Fault::Cut:
            return "cut reply";
        case Fault::Unplug:
            return "unplug";
    }
    return "?";
}

CSeededChaos::CSeededChaos(uint64_t nSeed, double dRate)
    : m_nState(SplitMix(nSeed)),
      m_dRate(dRate < 0   ? 0
              : dRate > 1 ? 1
                          : dRate) {}

uint64_t CSeededChaos::Derive(uint64_t nSeed, uint64_t nStream) {
    return SplitMix(nSeed ^ SplitMix(nStream + 0x5EED));
}

uint64_t CSeededChaos::Next() {
    const uint64_t s = m_nState;
    m_nState += 0x9E3779B97F4A7C15ULL;
    return SplitMix(s);
}

Fault CSeededChaos::OnReply(std::vector<uint8_t>& reply, std::string& strTrace) {
    strTrace.clear();
    const uint64_t n = m_nReplies++;
    if (reply.empty() || Unit() >= m_dRate) {
        return Fault::None;
    }
    // Weights: flip 3, drop 2, extra 2, cut 2 (multi-byte replies only), unplug 1.
    const bool bCuttable = reply.size() > 1;
    uint32_t pick = Below(bCuttable ? 10 : 8);
    Fault fault = Fault::FlipBit;
    if (pick < 3) {
        fault = Fault::FlipBit;
    } else if (pick < 5) {
        fault = Fault::Drop;
    } else if (pick < 7) {
        fault = Fault::Extra;
    } else if (pick < 8) {
        fault = Fault::Unplug;
    } else {
        fault = Fault::Cut;
    }
    const std::string where =
        "reply " + std::to_string(n) + " (" + std::to_string(reply.size()) + " bytes)";
    switch (fault) {
        case Fault::FlipBit: {
            const uint32_t at = Below(static_cast<uint32_t>(reply.size()));
            const uint32_t bit = Below(8);
            const uint8_t was = reply[at];
            reply[at] = static_cast<uint8_t>(was ^ (1u << bit));
            strTrace = "chaos: flipped bit " + std::to_string(bit) + " of byte " +
                       std::to_string(at) + " of " + where + ": " + Hex(was) + " -> " +
                       Hex(reply[at]);
            break;
        }
        case Fault::Drop:
            strTrace = "chaos: dropped " + where;
            reply.clear();
            break;
        case Fault::Extra: {
            const auto b = static_cast<uint8_t>(Next());
            reply.push_back(b);
            strTrace = "chaos: extra byte " + Hex(b) + " after " + where;
            break;
        }
        case Fault::Cut: {
            const uint32_t keep = 1 + Below(static_cast<uint32_t>(reply.size() - 1));
            strTrace = "chaos: cut " + where + " to " + std::to_string(keep) + " bytes";
            reply.resize(keep);
            break;
        }
        default:
            strTrace = "chaos: unplugged at " + where;
            reply.clear();
            break;
    }
    return fault;
}

int CSeededChaos::ModemPortDelay(int nUsualMs, std::string& strTrace) {
    strTrace.clear();
    if (Unit() >= m_dRate) {
        return nUsualMs;
    }
    if (Below(3) == 0) {
        strTrace = "chaos: the modem port will not appear";
        return -1;
    }
    const int late = nUsualMs + 1000 + static_cast<int>(Below(25000));
    strTrace = "chaos: the modem port appears late, after " + std::to_string(late) + " ms";
    return late;
}

bool ParseChaosOption(const std::vector<std::string>& args, size_t& i, ChaosOptions& options,
                      std::string& error, bool& bTaken) {
    bTaken = false;
    const std::string& a = args[i];
    if (a != "--chaos" && a != "--chaos-rate") {
        return true;
    }
    bTaken = true;
    std::string v;
    if (!platform::TakeOptionValue(args, i, v, error)) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    if (a == "--chaos") {
        const unsigned long long seed = std::strtoull(v.c_str(), &end, 10);
        if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0) {
            error = "--chaos: '" + v + "' is not a seed (a number from 0)";
            return false;
        }
        options.bOn = true;
        options.nSeed = seed;
        return true;
    }
    const double rate = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || errno != 0 || !(rate >= 0.0 && rate <= 1.0)) {
        error = "--chaos-rate: '" + v + "' is not a probability from 0 to 1";
        return false;
    }
    options.dRate = rate;
    return true;
}

}  // namespace simchaos
