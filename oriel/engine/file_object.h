#pragma once
// A file held open by an operation (binary image, MFX data, dump output).

#include <cstdint>
#include <cstdio>
#include <string>

namespace oriel {

class CFileObject {
  public:
    enum class Mode { Read, CreateWrite };

    CFileObject() = default;
    ~CFileObject() { Close(); }
    CFileObject(const CFileObject&) = delete;
    CFileObject& operator=(const CFileObject&) = delete;

    bool Open(const std::string& strPath, Mode mode);
    void Close();
    bool IsOpen() const { return m_pFile != nullptr; }
    // Bytes read; 0 at the end or on an error (HadError tells which).
    size_t Read(uint8_t* pData, size_t n);
    bool Write(const uint8_t* pData, size_t n);
    bool Flush();
    int64_t Length();
    bool HadError() const { return m_bError; }
    const std::string& Path() const { return m_strPath; }

  private:
    std::FILE* m_pFile = nullptr;
    std::string m_strPath;
    bool m_bError = false;
};

}  // namespace oriel
