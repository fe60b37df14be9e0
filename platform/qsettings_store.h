#pragma once

#include <memory>
#include <string>

#include "platform/settings_store.h"

class QSettings;

namespace platform {

// Settings kept by QSettings under an organisation and application name; on
// Linux that is ~/.config/<organisation>/<application>.conf.
class CQSettingsStore : public ISettingsStore {
  public:
    CQSettingsStore(const std::string& organisation, const std::string& application);
    // Explicit file (INI format), for tests and for --settings on the command line.
    explicit CQSettingsStore(const std::string& iniPath);
    ~CQSettingsStore() override;

    int GetInt(const std::string& group, const std::string& key, int nDefault) const override;
    std::string GetString(const std::string& group, const std::string& key,
                          const std::string& strDefault) const override;
    void SetInt(const std::string& group, const std::string& key, int nValue) override;
    void SetString(const std::string& group, const std::string& key,
                   const std::string& strValue) override;
    std::string FileName() const;

  private:
    std::unique_ptr<QSettings> m_settings;
};

}  // namespace platform
