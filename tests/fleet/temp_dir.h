#pragma once
// A scratch folder per test, removed with everything in it.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fleet/tools/mkimg.h"

namespace fleettest {

class CTempDir {
  public:
    CTempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "fleet_test.XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        m_path = templ;
    }
    ~CTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::string path = File(name);
        std::string error;
        EXPECT_TRUE(fleet::WriteBytes(path, bytes, error)) << error;
        return path;
    }

  private:
    std::string m_path;
};

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(fleet::ReadBytes(path, bytes, error)) << error;
    return bytes;
}

}  // namespace fleettest
