#pragma once
// The size, CRC-32 (IEEE 802.3, as zlib computes it) and SHA-256 of an image
// file or a region of one. Hashing runs on the history's writer thread, never
// on a job's thread; each file is read once and the result kept while the
// file stays the same (eight slots writing one image hash it once).

#include <cstdint>
#include <map>
#include <string>
#include <tuple>

#include "platform/history/job_record.h"

namespace history {

class CImageHasher {
  public:
    // Fills nSize, strCrc32, strSha256 (or strNote with why not) and bHashed.
    void Hash(ImageRef& image);
    size_t FilesRead() const { return m_nFilesRead; }

  private:
    struct Done {
        int64_t nFileSize = 0;
        int64_t nMtimeNs = 0;
        int64_t nSize = 0;
        std::string strCrc32;
        std::string strSha256;
    };
    using Key = std::tuple<std::string, int64_t, int64_t>;
    std::map<Key, Done> m_cache;
    size_t m_nFilesRead = 0;
};

}  // namespace history
