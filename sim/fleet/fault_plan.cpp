#include "sim/fleet/fault_plan.h"

#include <cstdlib>

namespace fleetsim {

namespace {

struct StepInfo {
    Step step;
    const char* name;
    bool bHasAnswer;
};

constexpr StepInfo kSteps[] = {
    {Step::Okud, "okud", true},
    {Step::Ram, "ram", false},
    {Step::Ack, "ack", true},
    {Step::Checksum, "checksum", true},
    {Step::Signature, "signature", true},
    {Step::Stream, "stream", false},
    {Step::Greeting, "greeting", true},
    {Step::Open, "open", true},
    {Step::EfsErase, "efs-erase", true},
    {Step::ParamBlock, "param-block", true},
    {Step::Block, "block", true},
    {Step::Launch, "launch", true},
};

const StepInfo* Find(Step step) {
    for (const StepInfo& info : kSteps) {
        if (info.step == step) {
            return &info;
        }
    }
    return nullptr;
}

bool ParseCount(const std::string& digits, int& value) {
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::atoi(digits.c_str());
    return true;
}

}  // namespace

const char* StepName(Step step) {
    const StepInfo* info = Find(step);
    return info != nullptr ? info->name : "?";
}

std::optional<Step> StepFromName(const std::string& name) {
    for (const StepInfo& info : kSteps) {
        if (name == info.name) {
            return info.step;
        }
    }
    return std::nullopt;
}

const std::vector<Step>& AllSteps() {
    static const std::vector<Step> all = [] {
        std::vector<Step> v;
        for (const StepInfo& info : kSteps) {
            v.push_back(info.step);
        }
        return v;
    }();
    return all;
}

bool StepHasAnswer(Step step) {
    const StepInfo* info = Find(step);
    return info != nullptr && info->bHasAnswer;
}

const char* FaultKindName(Fault::Kind kind) {
    switch (kind) {
        case Fault::Kind::Wrong:
            return "wrong";
        case Fault::Kind::Silent:
            return "silent";
        case Fault::Kind::Unplug:
            return "unplug";
    }
    return "?";
}

bool ParseFault(Fault::Kind kind, const std::string& text, Fault& fault, std::string& error) {
    std::string rest = text;
    int nHandset = 0;
    const size_t at = rest.find('@');
    if (at != std::string::npos) {
        if (!ParseCount(rest.substr(at + 1), nHandset) || nHandset < 1) {
            error = "bad handset in '" + text + "' (expected STEP[:N]@H, H >= 1)";
            return false;
        }
        rest = rest.substr(0, at);
    }
    int nIndex = 0;
    const size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        if (!ParseCount(rest.substr(colon + 1), nIndex)) {
            error = "bad index in '" + text + "' (expected STEP:N, N >= 0)";
            return false;
        }
        rest = rest.substr(0, colon);
    }
    const std::optional<Step> step = StepFromName(rest);
    if (!step) {
        error = "unknown step '" + rest + "' (steps:";
        for (const StepInfo& info : kSteps) {
            error += ' ';
            error += info.name;
        }
        error += ')';
        return false;
    }
    if (kind == Fault::Kind::Wrong && !StepHasAnswer(*step)) {
        error = std::string("'") + StepName(*step) +
                "' has no answer to make wrong; use --silent or --unplug";
        return false;
    }
    fault.kind = kind;
    fault.step = *step;
    fault.nIndex = nIndex;
    fault.nHandset = nHandset;
    return true;
}

std::string DescribeFault(const Fault& fault) {
    std::string s = std::string(FaultKindName(fault.kind)) + " " + StepName(fault.step) + ":" +
                    std::to_string(fault.nIndex);
    if (fault.nHandset != 0) {
        s += "@" + std::to_string(fault.nHandset);
    }
    return s;
}

CFaultPlan::CFaultPlan(const std::vector<Fault>& faults) {
    for (const Fault& f : faults) {
        Add(f);
    }
}

void CFaultPlan::Add(const Fault& fault) {
    m_armed.push_back({fault, false});
}

CFaultPlan::Decision CFaultPlan::Consult(Step step, int nIndex) {
    Decision d;
    for (Armed& a : m_armed) {
        if (a.bFired || a.fault.step != step || a.fault.nIndex != nIndex) {
            continue;
        }
        a.bFired = true;
        ++m_nFired;
        switch (a.fault.kind) {
            case Fault::Kind::Wrong:
                d.bWrong = true;
                break;
            case Fault::Kind::Silent:
                d.bSilent = true;
                break;
            case Fault::Kind::Unplug:
                d.bUnplug = true;
                break;
        }
    }
    return d;
}

}  // namespace fleetsim
