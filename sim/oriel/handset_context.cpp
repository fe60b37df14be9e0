#include "sim/oriel/handset_context.h"

#include <cstdio>

#include "platform/diag_log.h"

namespace orielsim {

const char* StageName(HandsetStage stage) {
    switch (stage) {
        case HandsetStage::Off:
            return "off";
        case HandsetStage::BootRom:
            return "boot ROM";
        case HandsetStage::Preloader:
            return "pre-loader";
        case HandsetStage::BootLoader:
            return "boot-loader";
        case HandsetStage::Silent:
            return "silent";
        case HandsetStage::Released:
            return "released";
    }
    return "?";
}

std::string Hex8(uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

CFaultPlan::CFaultPlan(std::vector<Fault> faults) {
    for (const Fault& f : faults) {
        m_armed.push_back({f, false});
    }
}

CFaultPlan::Decision CFaultPlan::Consult(Step step, int nIndex) {
    Decision d;
    if (m_armed.empty()) {
        return d;
    }
    const int index = StepIsIndexed(step) ? nIndex : m_occurrences[step]++;
    for (Armed& a : m_armed) {
        if (a.bFired || a.fault.step != step || a.fault.nIndex != index) {
            continue;
        }
        a.bFired = true;
        ++m_nFired;
        if (a.fault.kind == Fault::Kind::WrongReply) {
            d.bSpoil = true;
        } else {
            d.bStopAfter = true;
        }
    }
    return d;
}

CHandsetContext::CHandsetContext(IHandsetWire& wire, CFaultPlan& faults, CNorFlash& nor,
                                 CNandStore& nand, HandsetRecord& record,
                                 const HandsetOptions& options)
    : m_wire(wire),
      m_faults(faults),
      m_nor(nor),
      m_nand(nand),
      m_record(record),
      m_options(options) {}

void CHandsetContext::Emit(const uint8_t* p, size_t n, const char* pWhat) {
    if (m_pChaos == nullptr || !m_bChaosArmed || m_bUnplug) {
        if (!m_bUnplug) {
            m_wire.Send(p, n);
        }
        return;
    }
    std::vector<uint8_t> reply(p, p + n);
    std::string trace;
    const simchaos::Fault fault = m_pChaos->OnReply(reply, trace);
    if (fault != simchaos::Fault::None) {
        Notice(trace + " [" + pWhat + "]");
    }
    if (fault == simchaos::Fault::Unplug) {
        m_bUnplug = true;
    }
    if (!reply.empty()) {
        m_wire.Send(reply.data(), reply.size());
    }
}

void CHandsetContext::Answer(Step step, int nIndex, uint8_t byCorrect) {
    const CFaultPlan::Decision d = m_faults.Consult(step, nIndex);
    const uint8_t b = d.bSpoil ? Spoil(byCorrect) : byCorrect;
    Emit(&b, 1, StepName(step));
    Apply(step, d);
}

void CHandsetContext::AnswerBytes(Step step, int nIndex, std::vector<uint8_t> bytes,
                                  size_t nSpoilAt) {
    const CFaultPlan::Decision d = m_faults.Consult(step, nIndex);
    if (d.bSpoil && nSpoilAt < bytes.size()) {
        bytes[nSpoilAt] = Spoil(bytes[nSpoilAt]);
    }
    Emit(bytes.data(), bytes.size(), StepName(step));
    Apply(step, d);
    // The handset is identified from here on: the hostile mode begins.
    if (step == Step::FlashIdReply) {
        m_bChaosArmed = true;
    }
}

CFaultPlan::Decision CHandsetContext::Decide(Step step, int nIndex) {
    return m_faults.Consult(step, nIndex);
}

void CHandsetContext::Deliver(Step step, const CFaultPlan::Decision& d,
                              const std::vector<uint8_t>& bytes) {
    Emit(bytes.data(), bytes.size(), StepName(step));
    Apply(step, d);
}

void CHandsetContext::Apply(Step step, const CFaultPlan::Decision& d) {
    if (d.bSpoil) {
        Notice(std::string("fault: wrong answer at ") + StepName(step));
    }
    if (d.bStopAfter) {
        Notice(std::string("fault: silent after ") + StepName(step));
        m_bSilence = true;
    }
    m_record.nFaultsFired = m_faults.Fired();
}

void CHandsetContext::SendRaw(const uint8_t* p, size_t n) {
    Emit(p, n, "unnamed reply");
}

void CHandsetContext::Record(HandsetStage stage, uint8_t byCommand) {
    if (m_record.commands.size() >= HandsetRecord::kMaxCommands) {
        m_record.commands.pop_front();
    }
    m_record.commands.push_back({stage, byCommand, false, 0});
}

void CHandsetContext::Record(HandsetStage stage, uint8_t byCommand, uint32_t nValue) {
    if (m_record.commands.size() >= HandsetRecord::kMaxCommands) {
        m_record.commands.pop_front();
    }
    m_record.commands.push_back({stage, byCommand, true, nValue});
}

void CHandsetContext::Notice(const std::string& text) {
    platform::Diag("sim", text);
    if (m_record.notices.size() >= HandsetRecord::kMaxNotices) {
        m_record.notices.pop_front();
    }
    m_record.notices.push_back(text);
    if (m_options.fnNotice) {
        m_options.fnNotice(text);
    }
}

void CHandsetContext::Trace(const std::string& text) {
    if (platform::DiagEnabled()) {
        platform::Diag("sim", text);
    }
}

bool CHandsetContext::TakeSilenceRequest() {
    const bool b = m_bSilence;
    m_bSilence = false;
    return b;
}

}  // namespace orielsim
