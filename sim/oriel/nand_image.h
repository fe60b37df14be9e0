#pragma once
// The raw NAND as the full dump reads it, laid out from the file system:
// page 0 is the superblock, then every node in walk order (the root first)
// takes a header page followed by its data pages, and the pages after the
// last node are erased (0xFF). The layout is fixed when a dump starts and the
// pages are produced one at a time, so the 125 MB image is never held whole.
//
// Superblock (little-endian): "MFXNAND\0", page size, page count, nodes laid
// out, pages used, fsid, FAT date-time of the host's last time record (0 when
// none), the 16-byte project version at 32 (0xFF when none), at 48 a release
// flag (1 or 0) and the 12-byte release version. Node header: "NODE", i-node,
// type (1 file, 2 directory) at 8, size at 12, mode at 16, FAT date-times of
// change and modification at 20 and 24, FAT access date at 28, path length at
// 32 (16 bits) and the UTF-8 path from 34. Unused bytes are 0xFF.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/oriel/nand_store.h"

namespace orielsim {

class CNandImage {
  public:
    CNandImage() = default;
    ~CNandImage();
    CNandImage(const CNandImage&) = delete;
    CNandImage& operator=(const CNandImage&) = delete;

    // 0 or an errno value with the reason. Nodes that do not fit in the
    // pages are left out (NodesLeftOut tells how many).
    int Build(CNandStore& store, std::string& why);
    // One page of kNandPageSize bytes.
    void ReadPage(uint32_t nPage, uint8_t* pOut);
    size_t NodesLeftOut() const { return m_nLeftOut; }
    void Release();

  private:
    struct Extent {
        uint32_t nFirstPage = 0;  // the header page
        uint32_t nDataPages = 0;
        size_t nNode = 0;
    };
    void HeaderPage(const NandNode& node, uint8_t* pOut) const;
    void DataPage(size_t nNode, uint32_t nIndex, uint8_t* pOut);

    const CNandStore* m_pStore = nullptr;
    std::vector<uint8_t> m_superblock;
    std::vector<NandNode> m_nodes;
    std::vector<Extent> m_extents;
    size_t m_nLeftOut = 0;
    int m_hFile = -1;  // the file whose data pages are being read
    size_t m_nFileNode = 0;
};

}  // namespace orielsim
