#pragma once
// An MFX package: the data file (.mfx, every file's bytes back to back) and
// its description (.cfg: versions, directories, files and sizes), loaded and
// checked before anything is sent, then read one entry at a time.

#include <array>
#include <cstdint>
#include <string>

namespace oriel {

class CDownloaderEngine;

// "pkg.mfx" -> "pkg.cfg"; a path without a full stop gives ".cfg".
std::string CfgPathFor(const std::string& strMfxPath);

class CMfxPackage {
  public:
    explicit CMfxPackage(CDownloaderEngine& engine) : m_engine(engine) {}

    // 1 when usable, 0 after its message box (and log line).
    int32_t LoadMfxPackage();
    // The description text is released (Stop, a new package).
    void Release();

    // True with an entry; false when none is left (cursor back to 0). A
    // refused name logs, sets IDLE and returns what the caller must do: a
    // directory returns true (nothing to send), a file returns false.
    bool NextDirectoryEntry();
    bool NextFileEntry();
    // Whether the last Next...Entry refused its name (the engine is IDLE then).
    bool EntryRefused() const { return m_bEntryRefused; }

    std::string m_strMfxPath;
    std::string m_strCfgPath;
    int32_t m_nMfxFileSize = 0;
    std::string m_strCfgText;  // the whole description, kept while the engine walks it
    int32_t m_nCfgCursor = 0;
    std::array<uint8_t, 16> m_abyProjectVersion{};
    std::array<uint8_t, 12> m_abyReleaseVersion{};
    int32_t m_bHasReleaseVersion = 0;
    std::string m_szEntryName;   // raw (ANSI) name of the current entry
    std::string m_strEntryUtf8;  // converted, with its zero byte
    int32_t m_nEntryFileSize = 0;

  private:
    size_t Find(const char* key, size_t from) const;
    // Bytes after the key at pos up to the next CR (or the end); pos ends on the CR.
    std::string ValueToCr(size_t& pos) const;
    bool ConvertEntry(const char* tooLongFmt, size_t nLimit);

    CDownloaderEngine& m_engine;
    bool m_bEntryRefused = false;
};

}  // namespace oriel
