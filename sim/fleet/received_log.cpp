#include "sim/fleet/received_log.h"

namespace fleetsim {

bool CReceivedLog::Full() {
    if (m_entries.size() < kMaxEntries) {
        return false;
    }
    m_bOverflow = true;
    return true;
}

void CReceivedLog::Add(const std::string& strEntry) {
    if (!Full()) {
        m_entries.push_back({strEntry, false, 1, {}});
    }
}

void CReceivedLog::AddToRun(const std::string& strRun, const std::string& strDetail,
                            bool bContinues) {
    if (bContinues && !m_entries.empty() && m_entries.back().bRun &&
        m_entries.back().text == strRun) {
        ++m_entries.back().nCount;
        m_entries.back().detail = strDetail;
        return;
    }
    if (!Full()) {
        m_entries.push_back({strRun, true, 1, strDetail});
    }
}

std::vector<std::string> CReceivedLog::Entries() const {
    std::vector<std::string> out;
    out.reserve(m_entries.size() + 1);
    for (const Entry& e : m_entries) {
        if (!e.bRun) {
            out.push_back(e.text);
            continue;
        }
        std::string line = e.text + " x" + std::to_string(e.nCount);
        if (!e.detail.empty()) {
            line += " " + e.detail;
        }
        out.push_back(line);
    }
    if (m_bOverflow) {
        out.emplace_back("... (more than " + std::to_string(kMaxEntries) + " entries)");
    }
    return out;
}

std::string CReceivedLog::Text() const {
    std::string text;
    for (const std::string& line : Entries()) {
        text += line + "\n";
    }
    return text;
}

}  // namespace fleetsim
