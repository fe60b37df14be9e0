#pragma once
// Where the pieces of a combined image are written for the workers to read:
// a folder of this process and user only (mode 0700, under $XDG_RUNTIME_DIR,
// else the system temp folder), created fresh so that nobody can have placed
// links in it, and removed with everything in it when the object goes.

#include <cstdint>
#include <set>
#include <string>

namespace fleet {

class CImageFile;

class CTempImageFolder {
  public:
    CTempImageFolder() = default;
    ~CTempImageFolder();
    CTempImageFolder(const CTempImageFolder&) = delete;
    CTempImageFolder& operator=(const CTempImageFolder&) = delete;

    // Creates the folder on first use; false with the reason when it cannot.
    bool Create(std::string& strWhy);
    const std::string& Folder() const { return m_strFolder; }
    // Full path of a file in the folder ("" before Create).
    std::string PathOf(const std::string& strName) const;

    // Writes [nOffset, nOffset + nSize) of the source into the named file,
    // created (or truncated) without following links. On any failure the
    // file is removed and the reason given.
    bool WriteFrom(const std::string& strName, CImageFile& source, uint64_t nOffset, uint64_t nSize,
                   std::string& strWhy);
    void Remove(const std::string& strName);
    void RemoveAll();

  private:
    int m_hDir = -1;
    std::string m_strFolder;
    std::set<std::string> m_files;
};

// The folder temporary folders are made in: $XDG_RUNTIME_DIR when it names a
// folder, else $TMPDIR when it does, else /tmp.
std::string TempFolderBase();

}  // namespace fleet
