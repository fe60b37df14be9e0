#pragma once
// Per-user program settings, addressed by group and key (the registry's
// section and value). Reads return the default when the value is missing or
// not of the asked type.

#include <map>
#include <string>

namespace platform {

class ISettingsStore {
  public:
    virtual ~ISettingsStore() = default;
    virtual int GetInt(const std::string& group, const std::string& key, int nDefault) const = 0;
    virtual std::string GetString(const std::string& group, const std::string& key,
                                  const std::string& strDefault) const = 0;
    virtual void SetInt(const std::string& group, const std::string& key, int nValue) = 0;
    virtual void SetString(const std::string& group, const std::string& key,
                           const std::string& strValue) = 0;
};

// Settings held in memory only (tests, and runs that must not touch the user's store).
class CMemorySettingsStore : public ISettingsStore {
  public:
    int GetInt(const std::string& group, const std::string& key, int nDefault) const override;
    std::string GetString(const std::string& group, const std::string& key,
                          const std::string& strDefault) const override;
    void SetInt(const std::string& group, const std::string& key, int nValue) override;
    void SetString(const std::string& group, const std::string& key,
                   const std::string& strValue) override;

  private:
    std::map<std::string, std::string> m_values;  // "group/key" -> text
};

// Parses a whole decimal integer (optional sign); false on anything else or overflow.
bool ParseSettingInt(const std::string& text, int& nValue);

}  // namespace platform
