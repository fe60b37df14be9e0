#pragma once
// A file written from the handset (a NOR dump, a file read, a NAND dump). The
// bytes go to a temporary file in the chosen file's folder, and only a
// complete transfer is renamed to the chosen name: nothing under that name is
// ever partial, even after a crash or a kill. A transfer that does not finish
// keeps its bytes as NAME.incomplete, or NAME.2.incomplete and so on when that
// exists: an earlier one is never replaced. A file not committed when its
// object goes is kept that way too.

#include <cstdint>
#include <string>

namespace oriel {

constexpr char kIncompleteSuffix[] = ".incomplete";

class COutputFile {
  public:
    COutputFile() = default;
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // Whether a file could be written under the path: its folder exists and
    // takes files, and the path is not a folder, a device or a pipe. Nothing
    // is left behind. False with a reason.
    static bool CanCreate(const std::string& strPath, std::string& error);

    // Makes the temporary file; false (and nothing made) when it cannot be.
    bool Create(const std::string& strPath);
    // From Create until Commit or KeepIncomplete.
    bool IsOpen() const { return !m_strTemp.empty(); }
    bool Write(const uint8_t* pData, size_t n);
    // Makes the bytes durable and puts them under the chosen name (replacing
    // a file there). False when that failed; the bytes then wait for
    // KeepIncomplete.
    bool Commit();
    // Keeps what was written under the incomplete name; returns that path,
    // or the temporary one when even that rename failed.
    std::string KeepIncomplete();

    const std::string& Path() const { return m_strPath; }
    int64_t BytesWritten() const { return m_nWritten; }

  private:
    void CloseHandle();

    int m_fd = -1;
    std::string m_strPath;
    std::string m_strTemp;
    int64_t m_nWritten = 0;
};

// NAME.incomplete, or NAME.N.incomplete for the first N from 2 that is free.
std::string IncompletePathFor(const std::string& strPath);

}  // namespace oriel
