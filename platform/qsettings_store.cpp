#include "platform/qsettings_store.h"

#include <QSettings>
#include <QString>

namespace platform {

namespace {
QString KeyOf(const std::string& group, const std::string& key) {
    return QString::fromStdString(group) + "/" + QString::fromStdString(key);
}
}  // namespace

CQSettingsStore::CQSettingsStore(const std::string& organisation, const std::string& application)
    : m_settings(std::make_unique<QSettings>(QString::fromStdString(organisation),
                                             QString::fromStdString(application))) {}

CQSettingsStore::CQSettingsStore(const std::string& iniPath)
    : m_settings(
          std::make_unique<QSettings>(QString::fromStdString(iniPath), QSettings::IniFormat)) {}

CQSettingsStore::~CQSettingsStore() = default;

int CQSettingsStore::GetInt(const std::string& group, const std::string& key, int nDefault) const {
    const QVariant v = m_settings->value(KeyOf(group, key));
    int n = 0;
    if (!v.isValid() || !ParseSettingInt(v.toString().trimmed().toStdString(), n)) {
        return nDefault;
    }
    return n;
}

std::string CQSettingsStore::GetString(const std::string& group, const std::string& key,
                                       const std::string& strDefault) const {
    const QVariant v = m_settings->value(KeyOf(group, key));
    return v.isValid() ? v.toString().toStdString() : strDefault;
}

void CQSettingsStore::SetInt(const std::string& group, const std::string& key, int nValue) {
    m_settings->setValue(KeyOf(group, key), nValue);
    m_settings->sync();
}

void CQSettingsStore::SetString(const std::string& group, const std::string& key,
                                const std::string& strValue) {
    m_settings->setValue(KeyOf(group, key), QString::fromStdString(strValue));
    m_settings->sync();
}

std::string CQSettingsStore::FileName() const {
    return m_settings->fileName().toStdString();
}

}  // namespace platform
