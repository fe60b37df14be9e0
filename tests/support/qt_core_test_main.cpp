// GoogleTest main for suites that use the flash history: a QCoreApplication
// (Qt SQL loads its drivers through it; a QApplication with
// ORIEL_TEST_WIDGETS) and data and settings folders of its own, so that no
// test touches the user's history, and nothing is left behind.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCoreApplication>
#ifdef ORIEL_TEST_WIDGETS
#include <QApplication>
#endif
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    std::string home =
        (std::filesystem::temp_directory_path() / "oriel_history_test.XXXXXX").string();
    if (mkdtemp(home.data()) == nullptr) {
        return 1;
    }
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    int nResult = 0;
    {
#ifdef ORIEL_TEST_WIDGETS
        qputenv("QT_QPA_PLATFORM",
                qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
        QApplication app(argc, argv);
#else
        QCoreApplication app(argc, argv);
#endif
        QCoreApplication::setOrganizationName(QStringLiteral("ORIEL Tools"));
        QCoreApplication::setApplicationName(QStringLiteral("history_tests"));
        ::testing::InitGoogleTest(&argc, argv);
        nResult = RUN_ALL_TESTS();
    }
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return nResult;
}
