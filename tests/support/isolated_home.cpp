// Linked into a test program that runs the suite's programs: data and
// settings folders of its own (the programs record their jobs in the data
// folder), removed with everything in them at the end.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

class CIsolatedHome : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string templ =
            (std::filesystem::temp_directory_path() / "oriel_test_home.XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        m_dir = templ;
        setenv("XDG_DATA_HOME", (m_dir + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

  private:
    std::string m_dir;
};

::testing::Environment* const g_pHome = ::testing::AddGlobalTestEnvironment(new CIsolatedHome);

}  // namespace
