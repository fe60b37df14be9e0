#pragma once
// A scratch folder for one test, removed with everything in it.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace testsupport {

class CScratchDir {
  public:
    explicit CScratchDir(const char* pszPrefix = "oriel_test") {
        std::string templ =
            (std::filesystem::temp_directory_path() / (std::string(pszPrefix) + ".XXXXXX"))
                .string();
        if (mkdtemp(templ.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        m_path = templ;
    }
    ~CScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    CScratchDir(const CScratchDir&) = delete;
    CScratchDir& operator=(const CScratchDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

}  // namespace testsupport
