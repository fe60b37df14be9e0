#include "platform/settings_store.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform {

bool ParseSettingInt(const std::string& text, int& nValue) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < INT_MIN || v > INT_MAX) {
        return false;
    }
    nValue = static_cast<int>(v);
    return true;
}

int CMemorySettingsStore::GetInt(const std::string& group, const std::string& key,
                                 int nDefault) const {
    auto it = m_values.find(group + "/" + key);
    int v = 0;
    if (it == m_values.end() || !ParseSettingInt(it->second, v)) {
        return nDefault;
    }
    return v;
}

std::string CMemorySettingsStore::GetString(const std::string& group, const std::string& key,
                                            const std::string& strDefault) const {
    auto it = m_values.find(group + "/" + key);
    return it == m_values.end() ? strDefault : it->second;
}

void CMemorySettingsStore::SetInt(const std::string& group, const std::string& key, int nValue) {
    m_values[group + "/" + key] = std::to_string(nValue);
}

void CMemorySettingsStore::SetString(const std::string& group, const std::string& key,
                                     const std::string& strValue) {
    m_values[group + "/" + key] = strValue;
}

}  // namespace platform
