#include "sim/oriel/nand_image.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace orielsim {

namespace {

void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

CNandImage::~CNandImage() {
    Release();
}

void CNandImage::Release() {
    if (m_hFile >= 0) {
        ::close(m_hFile);
        m_hFile = -1;
    }
    m_nodes.clear();
    m_extents.clear();
    m_superblock.clear();
    m_pStore = nullptr;
}

int CNandImage::Build(CNandStore& store, std::string& why) {
    Release();
    const int e = store.Walk(m_nodes, why);
    if (e != 0) {
        m_nodes.clear();
        return e;
    }
    m_pStore = &store;
    m_nLeftOut = 0;
    uint32_t nNext = 1;
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        const uint32_t nPages = NandNodePages(m_nodes[i].info);
        if (nPages > kNandPages - nNext) {
            ++m_nLeftOut;
            continue;
        }
        m_extents.push_back({nNext, nPages - 1, i});
        nNext += nPages;
    }
    m_superblock.assign(kNandPageSize, 0xFF);
    uint8_t* p = m_superblock.data();
    std::memcpy(p, "MFXNAND", 8);
    Put32(p + 8, kNandPageSize);
    Put32(p + 12, kNandPages);
    Put32(p + 16, static_cast<uint32_t>(m_extents.size()));
    Put32(p + 20, nNext);
    Put32(p + 24, kNandFsid);
    Put32(p + 28, store.TimeSet() ? FatDateTime(*store.TimeSet()) : 0);
    if (const auto v = store.ProjectVersion()) {
        std::memcpy(p + 32, v->data(), v->size());
    }
    const auto release = store.ReleaseVersion();
    p[48] = release ? 1 : 0;
    if (release) {
        std::memcpy(p + 49, release->data(), release->size());
    }
    return 0;
}

void CNandImage::HeaderPage(const NandNode& node, uint8_t* pOut) const {
    std::memset(pOut, 0xFF, kNandPageSize);
    std::memcpy(pOut, "NODE", 4);
    Put32(pOut + 4, node.info.nInode);
    pOut[8] = node.info.bDirectory ? 2 : 1;
    pOut[9] = pOut[10] = pOut[11] = 0;
    Put32(pOut + 12, node.info.nSize);
    Put32(pOut + 16, node.info.bDirectory ? kNandModeDirectory : kNandModeFile);
    Put32(pOut + 20, FatDateTime(node.info.tChange));
    Put32(pOut + 24, FatDateTime(node.info.tModify));
    Put32(pOut + 28, FatDate(node.info.tAccess));
    const std::string path = JoinNandPath(node.path);
    const size_t n = std::min<size_t>(path.size(), kNandPageSize - 34);
    pOut[32] = static_cast<uint8_t>(n);
    pOut[33] = static_cast<uint8_t>(n >> 8);
    std::memcpy(pOut + 34, path.data(), n);
}

void CNandImage::DataPage(size_t nNode, uint32_t nIndex, uint8_t* pOut) {
    std::memset(pOut, 0xFF, kNandPageSize);
    if (m_hFile < 0 || m_nFileNode != nNode) {
        if (m_hFile >= 0) {
            ::close(m_hFile);
        }
        m_hFile = m_pStore->OpenFile(m_nodes[nNode].path);
        m_nFileNode = nNode;
    }
    if (m_hFile < 0) {
        return;  // gone since the layout: reads as erased
    }
    const uint64_t nOffset = uint64_t{nIndex} * kNandPageSize;
    const uint32_t nSize = m_nodes[nNode].info.nSize;
    const size_t nWant = static_cast<size_t>(std::min<uint64_t>(kNandPageSize, nSize - nOffset));
    size_t nHave = 0;
    while (nHave < nWant) {
        const ssize_t r =
            pread(m_hFile, pOut + nHave, nWant - nHave, static_cast<off_t>(nOffset + nHave));
        if (r <= 0) {
            break;
        }
        nHave += static_cast<size_t>(r);
    }
}

void CNandImage::ReadPage(uint32_t nPage, uint8_t* pOut) {
    if (nPage == 0 && !m_superblock.empty()) {
        std::memcpy(pOut, m_superblock.data(), kNandPageSize);
        return;
    }
    const auto it =
        std::upper_bound(m_extents.begin(), m_extents.end(), nPage,
                         [](uint32_t page, const Extent& e) { return page < e.nFirstPage; });
    if (nPage == 0 || nPage >= kNandPages || it == m_extents.begin()) {
        std::memset(pOut, 0xFF, kNandPageSize);
        return;
    }
    const Extent& e = *(it - 1);
    if (nPage == e.nFirstPage) {
        HeaderPage(m_nodes[e.nNode], pOut);
    } else if (nPage - e.nFirstPage <= e.nDataPages) {
        DataPage(e.nNode, nPage - e.nFirstPage - 1, pOut);
    } else {
        std::memset(pOut, 0xFF, kNandPageSize);
    }
}

}  // namespace orielsim
