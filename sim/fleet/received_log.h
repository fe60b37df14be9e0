#pragma once
// What a simulated handset received, in the order it came: each handshake,
// each PDA command with its three arguments, each modem frame, and runs of
// RAM packets, stream packets and modem data blocks (one entry per run, with
// its count). Tests compare the whole sequence with the one the wire rules
// give, so a command that is missing, extra or out of its place shows.
//
//   pda A T U D
//   pda PDA_ATTACHED 0x00000000 0x00000000 0x00000000
//   pda PDA_WRITE_RAM x196 0x800F0000+196608
//   pda stream x529
//   modem A0
//   modem EF 0x000E4000+1187840
//   modem data x1160

#include <cstdint>
#include <string>
#include <vector>

namespace fleetsim {

class CReceivedLog {
  public:
    // One command or frame; it ends any run.
    void Add(const std::string& strEntry);
    // One packet of the run strRun. It extends the last entry when that is
    // the same run and bContinues holds; strDetail (the latest) follows the count.
    void AddToRun(const std::string& strRun, const std::string& strDetail, bool bContinues = true);
    std::vector<std::string> Entries() const;
    // The entries, one a line.
    std::string Text() const;

    static constexpr size_t kMaxEntries = 65536;

  private:
    struct Entry {
        std::string text;
        bool bRun = false;
        uint64_t nCount = 0;
        std::string detail;
    };
    bool Full();

    std::vector<Entry> m_entries;
    bool m_bOverflow = false;
};

}  // namespace fleetsim
