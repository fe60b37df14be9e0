#pragma once
// An image file held open for reading: by the selection code, and one per
// slot for the workers, so that no two threads share a file position.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fleet {

class CImageFile {
  public:
    CImageFile() = default;
    ~CImageFile() { Close(); }
    CImageFile(const CImageFile&) = delete;
    CImageFile& operator=(const CImageFile&) = delete;

    // Read-only; only regular files (a folder or a device is not an image).
    bool Open(const std::string& strPath);
    void Close();
    bool IsOpen() const { return m_hFile >= 0; }
    const std::string& Path() const { return m_strPath; }

    // The new position, or -1 (closed, or a negative position).
    int64_t Seek(int64_t nPosition);
    // Seeks nBack bytes before the end; -1 when the file is shorter than that.
    int64_t SeekFromEnd(int64_t nBack);
    int64_t Position() const;
    int64_t Length() const;

    // Bytes read, fewer only at the end of the file; 0 at the end or on an error.
    size_t Read(uint8_t* pData, size_t n);
    bool ReadExactly(uint8_t* pData, size_t n) { return Read(pData, n) == n; }

  private:
    int m_hFile = -1;
    std::string m_strPath;
};

// Writes all n bytes to the descriptor, retrying interrupted and short
// writes; false on an error.
bool WriteWhole(int fd, const uint8_t* p, size_t n);

}  // namespace fleet
