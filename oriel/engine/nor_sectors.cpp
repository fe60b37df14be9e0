#include "oriel/engine/nor_sectors.h"

#include <algorithm>
#include <cctype>

#include "oriel/engine/downloader_engine.h"
#include "platform/format.h"

namespace oriel {

std::array<NOR_SECTOR, kNorSectorCount> g_NorSectors{};
int32_t g_nNorSectors = 0;
std::array<int32_t, kNorSectorCount> g_abSectorSelected{};

void BuildNorSectorMap() {
    struct Group {
        int32_t nCount;
        int32_t nSizeWords;
    };
    static constexpr Group kGroups[] = {{4, 0x4000}, {126, 0x10000}, {4, 0x4000}};
    int32_t nIndex = 0;
    int32_t nStart = 0;
    for (const Group& g : kGroups) {
        for (int32_t k = 0; k < g.nCount; ++k) {
            g_NorSectors[static_cast<size_t>(nIndex)] = {nIndex, g.nSizeWords, nStart};
            nStart += g.nSizeWords;
            ++nIndex;
        }
    }
}

int32_t NextSelectedSector(int32_t from) {
    for (int32_t i = from < 0 ? 0 : from; i < g_nNorSectors; ++i) {
        if (g_abSectorSelected[static_cast<size_t>(i)] != 0) {
            return i;
        }
    }
    return -1;
}

int32_t SelectedKBytes() {
    int32_t n = 0;
    for (int32_t i = 0; i < g_nNorSectors; ++i) {
        if (g_abSectorSelected[static_cast<size_t>(i)] != 0) {
            n += static_cast<int32_t>(SectorBytes(i) / 1024);
        }
    }
    return n;
}

int32_t FindSectorByOffset(uint32_t offset) {
    for (int32_t i = 0; i < g_nNorSectors; ++i) {
        if (SectorOffset(i) == offset) {
            return i;
        }
    }
    return -1;
}

int32_t GetSectorSizeClass(uint32_t offset) {
    const auto nWords = static_cast<int32_t>(offset >> 1);
    for (int32_t i = 0; i < g_nNorSectors; ++i) {
        const NOR_SECTOR& s = g_NorSectors[static_cast<size_t>(i)];
        if (s.nStartWords == nWords) {
            switch (s.nSizeWords) {
                case 0x10000:
                    return 0;
                case 0x8000:
                    return 1;
                case 0x4000:
                    return 2;
                case 0x2000:
                    return 3;
                default:
                    return 4;
            }
        }
    }
    return kSizeClassNone;
}

SectorWrite SectorWriteOfClass(int32_t nClass) {
    switch (nClass) {
        case 0:
            return {0xC7, 64};
        case 1:
            return {0xFA, 32};
        case 2:
            return {0xCC, 16};
        case 3:
            return {0xFB, 8};
        default:
            return {0xFC, 4};
    }
}

uint32_t ParseHexAddress(const std::string& text) {
    std::string s = text;
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    size_t i = 0;
    if (s.size() >= 2 && s[0] == '0' && s[1] == 'X') {
        i = 2;
    }
    uint32_t value = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            break;
        }
        value = (value << 4) + digit;
    }
    return value;
}

bool CheckNorAddress(CDownloaderEngine& engine, const std::string& text, uint32_t& offset,
                     int32_t& sector) {
    const uint32_t value = ParseHexAddress(text.substr(0, 16));
    if (value < kNorBusBase || value >= kNorBusEnd) {
        engine.Log("\r\n **Not defined Address Error ");
        engine.m_nState = IDLE;
        return false;
    }
    const uint32_t nOffset = value - kNorBusBase;
    engine.Log(platform::Format("\r\n **NOR ADDR changed (0x%08X)... ", nOffset));
    const int32_t nSector = FindSectorByOffset(nOffset);
    if (nSector < 0) {
        engine.Log(platform::Format("\r\n **Not Sector Begin Address(0x%08X) Error! ", nOffset));
        engine.m_nState = IDLE;
        return false;
    }
    engine.Log(platform::Format("\r\n **Sector index(%d)... ", nSector));
    offset = nOffset;
    sector = nSector;
    return true;
}

std::string SectorLine(int32_t i) {
    const uint32_t first = kNorBusBase + SectorOffset(i);
    return platform::Format("%03d: 0x%07X ~ 0x%07X (%2dKBytes)", i, first,
                            first + SectorBytes(i) - 1, static_cast<int>(SectorBytes(i) / 1024));
}

std::vector<std::string> SectorLines() {
    std::vector<std::string> lines;
    for (int32_t i = 0; i < g_nNorSectors; ++i) {
        lines.push_back(SectorLine(i));
    }
    return lines;
}

namespace {

bool ParseIndex(const std::string& text, int& n) {
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    n = std::stoi(text);
    return true;
}

}  // namespace

bool ParseSectorList(const std::string& text, std::vector<int32_t>& sectors, std::string& error) {
    std::vector<int32_t> out;
    std::array<bool, kNorSectorCount> seen{};
    size_t pos = 0;
    if (text.empty()) {
        error = "no sectors given";
        return false;
    }
    while (pos <= text.size()) {
        const size_t comma = text.find(',', pos);
        const std::string item =
            text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const size_t dash = item.find('-');
        int lo = 0;
        int hi = 0;
        const bool bOk = dash == std::string::npos ? ParseIndex(item, lo) && (hi = lo, true)
                                                   : ParseIndex(item.substr(0, dash), lo) &&
                                                         ParseIndex(item.substr(dash + 1), hi);
        if (!bOk || hi < lo || hi >= kNorSectorCount) {
            error = "'" + item + "' is not a sector or range of sectors 0.." +
                    std::to_string(kNorSectorCount - 1);
            return false;
        }
        for (int s = lo; s <= hi; ++s) {
            if (seen[static_cast<size_t>(s)]) {
                error = "sector " + std::to_string(s) + " is named twice";
                return false;
            }
            seen[static_cast<size_t>(s)] = true;
            out.push_back(s);
        }
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    std::sort(out.begin(), out.end());
    sectors = std::move(out);
    return true;
}

}  // namespace oriel
