#include "sim/oriel/nand_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orielsim {

namespace {

constexpr const char* kMetaTempName = ".mfx-meta.new";
constexpr int kMaxDepth = 256;  // a 510-byte path cannot nest deeper
constexpr CivilSeconds kSecondsPerDay = 86400;

int64_t DaysFromCivil(int nYear, unsigned nMonth, unsigned nDay) {
    const int y = nYear - (nMonth <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned mp = nMonth > 2 ? nMonth - 3 : nMonth + 9;
    const unsigned doy = (153 * mp + 2) / 5 + nDay - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool ValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<uint8_t>(s[i]);
        size_t n = 0;
        uint32_t cp = 0;
        uint32_t min = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1Fu;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0Fu;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07u;
            min = 0x10000;
        } else {
            return false;
        }
        if (i + n >= s.size()) {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            const auto cc = static_cast<uint8_t>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

bool IsMetaName(const std::string& name) {
    return name == kNandMetaName || name == kMetaTempName;
}

std::string Reason(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Bytes that would break a metadata line are written as %XX.
std::string EscapePath(const std::string& s) {
    std::string out;
    for (const char ch : s) {
        const auto c = static_cast<uint8_t>(ch);
        if (c <= 0x20 || c == 0x7F || c == '%') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool UnescapePath(std::string_view s, std::string& out) {
    out.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) {
            return false;
        }
        const int hi = HexValue(s[i + 1]);
        const int lo = HexValue(s[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

std::string ToHex(const uint8_t* p, size_t n) {
    std::string out;
    char buf[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        out += buf;
    }
    return out;
}

template <size_t N>
bool FromHex(std::string_view s, std::array<uint8_t, N>& out) {
    if (s.size() != 2 * N) {
        return false;
    }
    for (size_t i = 0; i < N; ++i) {
        const int hi = HexValue(s[2 * i]);
        const int lo = HexValue(s[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

// The version records as C-escaped text, for whoever reads the file.
std::string Printable(const uint8_t* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = p[i];
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

std::vector<std::string_view> SplitWords(std::string_view line, size_t nMax) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size() && words.size() < nMax) {
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
        if (i >= line.size()) {
            break;
        }
        size_t j = words.size() + 1 == nMax ? line.size() : line.find(' ', i);
        if (j == std::string_view::npos) {
            j = line.size();
        }
        words.push_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

bool ParseU32(std::string_view s, uint32_t& v) {
    if (s.empty() || s.size() > 10) {
        return false;
    }
    uint64_t n = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > 0xFFFFFFFFu) {
        return false;
    }
    v = static_cast<uint32_t>(n);
    return true;
}

bool ParseHex32(std::string_view s, uint32_t& v) {
    if (s.size() != 10 || s[0] != '0' || s[1] != 'x') {
        return false;
    }
    uint32_t n = 0;
    for (size_t i = 2; i < s.size(); ++i) {
        const int d = HexValue(s[i]);
        if (d < 0) {
            return false;
        }
        n = (n << 4) | static_cast<uint32_t>(d);
    }
    v = n;
    return true;
}

// The entries of the directory but "." and ".." (and, with bSkipMeta, the
// metadata), unsorted; 0 or the errno of the listing.
int ListNames(int hDir, bool bSkipMeta, std::vector<std::string>& names) {
    const int hList = openat(hDir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (hList < 0) {
        return errno;
    }
    DIR* pDir = fdopendir(hList);
    if (pDir == nullptr) {
        const int e = errno;
        ::close(hList);
        return e;
    }
    while (const dirent* d = readdir(pDir)) {
        const std::string name = d->d_name;
        if (name != "." && name != ".." && !(bSkipMeta && IsMetaName(name))) {
            names.push_back(name);
        }
    }
    closedir(pDir);
    return 0;
}

// Removes everything in the directory; at the root the metadata stays.
int RemoveContents(int hDir, bool bKeepMeta, int nDepth) {
    if (nDepth > kMaxDepth) {
        return ELOOP;
    }
    std::vector<std::string> names;
    if (const int e = ListNames(hDir, bKeepMeta, names); e != 0) {
        return e;
    }
    int nFirstError = 0;
    for (const std::string& name : names) {
        struct stat st {};
        if (fstatat(hDir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const int hSub =
                openat(hDir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (hSub < 0) {
                nFirstError = nFirstError != 0 ? nFirstError : errno;
                continue;
            }
            const int e = RemoveContents(hSub, false, nDepth + 1);
            ::close(hSub);
            if (e != 0) {
                nFirstError = nFirstError != 0 ? nFirstError : e;
                continue;
            }
            if (unlinkat(hDir, name.c_str(), AT_REMOVEDIR) != 0) {
                nFirstError = nFirstError != 0 ? nFirstError : errno;
            }
        } else if (unlinkat(hDir, name.c_str(), 0) != 0) {
            nFirstError = nFirstError != 0 ? nFirstError : errno;
        }
    }
    return nFirstError;
}

bool MakeDirectories(const std::string& path, std::string& error) {
    std::string partial;
    size_t i = 0;
    while (i <= path.size()) {
        const size_t slash = path.find('/', i);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        partial = path.substr(0, end);
        i = end + 1;
        if (partial.empty()) {
            continue;
        }
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            error = Reason("cannot create the NAND directory " + partial, errno);
            return false;
        }
    }
    return true;
}

}  // namespace

bool CivilTimeValid(const CivilTime& t) {
    return t.nYear >= 1980 && t.nYear <= 2107 && t.nMonth >= 1 && t.nMonth <= 12 && t.nDay >= 1 &&
           t.nDay <= DaysInMonth(t.nYear, t.nMonth) && t.nHour >= 0 && t.nHour <= 23 &&
           t.nMinute >= 0 && t.nMinute <= 59 && t.nSecond >= 0 && t.nSecond <= 59;
}

CivilSeconds ToCivilSeconds(const CivilTime& t) {
    const int64_t days =
        DaysFromCivil(t.nYear, static_cast<unsigned>(t.nMonth), static_cast<unsigned>(t.nDay));
    return days * kSecondsPerDay + t.nHour * 3600 + t.nMinute * 60 + t.nSecond;
}

CivilTime FromCivilSeconds(CivilSeconds s) {
    int64_t days = s / kSecondsPerDay;
    int64_t rest = s % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    CivilTime t;
    t.nYear = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
    t.nMonth = static_cast<int>(m);
    t.nDay = static_cast<int>(d);
    t.nHour = static_cast<int>(rest / 3600);
    t.nMinute = static_cast<int>(rest / 60 % 60);
    t.nSecond = static_cast<int>(rest % 60);
    return t;
}

std::string FormatCivil(CivilSeconds s) {
    const CivilTime t = FromCivilSeconds(s);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.nYear, t.nMonth, t.nDay,
                  t.nHour, t.nMinute, t.nSecond);
    return buf;
}

bool ParseCivil(std::string_view text, CivilSeconds& s) {
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':') {
        return false;
    }
    auto number = [&](size_t at, size_t n, int& v) {
        v = 0;
        for (size_t i = at; i < at + n; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return false;
            }
            v = v * 10 + (text[i] - '0');
        }
        return true;
    };
    CivilTime t;
    if (!number(0, 4, t.nYear) || !number(5, 2, t.nMonth) || !number(8, 2, t.nDay) ||
        !number(11, 2, t.nHour) || !number(14, 2, t.nMinute) || !number(17, 2, t.nSecond) ||
        !CivilTimeValid(t)) {
        return false;
    }
    s = ToCivilSeconds(t);
    return true;
}

uint32_t FatDate(CivilSeconds s) {
    CivilTime t = FromCivilSeconds(s);
    if (t.nYear < 1980) {
        t = CivilTime{};
    }
    const auto year = static_cast<uint32_t>(std::min(t.nYear, 2107) - 1980);
    return (year << 9) | (static_cast<uint32_t>(t.nMonth) << 5) | static_cast<uint32_t>(t.nDay);
}

uint32_t FatDateTime(CivilSeconds s) {
    CivilTime t = FromCivilSeconds(s);
    if (t.nYear < 1980) {
        t = CivilTime{};
    }
    const uint32_t time = (static_cast<uint32_t>(t.nHour) << 11) |
                          (static_cast<uint32_t>(t.nMinute) << 5) |
                          static_cast<uint32_t>(t.nSecond / 2);
    return (FatDate(ToCivilSeconds(t)) << 16) | time;
}

bool ParseNandPath(std::string_view text, NandPath& path, std::string& why) {
    path.clear();
    if (text.empty()) {
        why = "empty path";
        return false;
    }
    if (text.find('\0') != std::string_view::npos) {
        why = "a zero byte inside the path";
        return false;
    }
    if (!ValidUtf8(text)) {
        why = "the path is not UTF-8";
        return false;
    }
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find('/', i);
        if (j == std::string_view::npos) {
            j = text.size();
        }
        const std::string name(text.substr(i, j - i));
        i = j + 1;
        if (name.empty()) {
            continue;
        }
        if (name == "." || name == "..") {
            why = "the name \"" + name + "\" is not allowed in a path";
            return false;
        }
        if (name.size() > kNandMaxName) {
            why = "a name of " + std::to_string(name.size()) + " bytes (at most " +
                  std::to_string(kNandMaxName) + ")";
            return false;
        }
        if (path.empty() && IsMetaName(name)) {
            why = "\"" + name + "\" is reserved";
            return false;
        }
        path.push_back(name);
    }
    return true;
}

std::string JoinNandPath(const NandPath& path) {
    if (path.empty()) {
        return "/";
    }
    std::string out;
    for (const std::string& name : path) {
        out += '/';
        out += name;
    }
    return out;
}

uint32_t NandNodePages(const NandNodeInfo& info) {
    return 1 + (info.nSize + kNandPageSize - 1) / kNandPageSize;
}

CNandStore::~CNandStore() {
    Close();
}

bool CNandStore::Open(const std::string& strDir, std::string& error) {
    Close();
    std::string dir = strDir;
    m_bTemporary = dir.empty();
    if (m_bTemporary) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/oriel_nand_XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) {
            error = Reason("cannot create a temporary NAND directory", errno);
            m_bTemporary = false;
            return false;
        }
        dir = buf.data();
    } else if (!MakeDirectories(dir, error)) {
        return false;
    }
    m_hRoot = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_hRoot < 0) {
        error = Reason("cannot open the NAND directory " + dir, errno);
        if (m_bTemporary) {
            ::rmdir(dir.c_str());
        }
        m_bTemporary = false;
        return false;
    }
    m_strDir = dir;
    ResetRecords();
    m_timeSet.reset();
    m_clockBase = ToCivilSeconds(CivilTime{});
    m_clockSetAt = std::chrono::steady_clock::now();
    LoadMetadata();
    SaveMetadata();
    return true;
}

void CNandStore::Close() {
    EndFile();
    if (m_hRoot < 0) {
        return;
    }
    if (m_bTemporary) {
        RemoveContents(m_hRoot, false, 0);
    }
    ::close(m_hRoot);
    m_hRoot = -1;
    if (m_bTemporary) {
        ::rmdir(m_strDir.c_str());
    }
    m_bTemporary = false;
    m_meta.clear();
}

void CNandStore::ResetRecords() {
    m_formatted.reset();
    m_projectVersion.reset();
    m_releaseVersion.reset();
    m_crcAnnounced.reset();
    m_crcComputed.reset();
    m_nNextInode = 2;
    m_meta.clear();
}

void CNandStore::Notice(const std::string& text) {
    if (m_fnNotice) {
        m_fnNotice(text);
    }
}

void CNandStore::SetClock(CivilSeconds t) {
    m_clockBase = t;
    m_clockSetAt = std::chrono::steady_clock::now();
    m_timeSet = t;
    SaveMetadata();
}

CivilSeconds CNandStore::Now() const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - m_clockSetAt);
    return m_clockBase + elapsed.count();
}

void CNandStore::SetProjectVersion(const std::array<uint8_t, 16>& version) {
    m_projectVersion = version;
    SaveMetadata();
}

void CNandStore::SetReleaseVersion(const std::optional<std::array<uint8_t, 12>>& version) {
    m_releaseVersion = version;
    SaveMetadata();
}

void CNandStore::SetPackageCrc(uint32_t nAnnounced) {
    m_crcAnnounced = nAnnounced;
    m_crcComputed.reset();
    SaveMetadata();
}

void CNandStore::SetPackageCrcComputed(uint32_t nComputed) {
    m_crcComputed = nComputed;
    SaveMetadata();
}

int CNandStore::OpenDirectory(const NandPath& path, size_t nNames) const {
    int hDir = openat(m_hRoot, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t i = 0; i < nNames && hDir >= 0; ++i) {
        const int hNext =
            openat(hDir, path[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int e = errno;
        ::close(hDir);
        hDir = hNext;
        errno = e;
    }
    return hDir;
}

int CNandStore::OpenFile(const NandPath& path) const {
    if (m_hRoot < 0 || path.empty()) {
        errno = EISDIR;
        return -1;
    }
    const int hDir = OpenDirectory(path, path.size() - 1);
    if (hDir < 0) {
        return -1;
    }
    const int hFile = openat(hDir, path.back().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int e = errno;
    ::close(hDir);
    if (hFile < 0) {
        errno = e;
        return -1;
    }
    struct stat st {};
    if (fstat(hFile, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(hFile);
        errno = EISDIR;
        return -1;
    }
    return hFile;
}

CNandStore::NodeMeta& CNandStore::Meta(const NandPath& path) {
    const std::string key = JoinNandPath(path);
    auto it = m_meta.find(key);
    if (it == m_meta.end()) {
        // A node the handset did not make (put there by hand): dated now.
        NodeMeta meta;
        meta.nInode = path.empty() ? 1 : m_nNextInode++;
        meta.tAccess = meta.tModify = meta.tChange = Now();
        it = m_meta.emplace(key, meta).first;
    }
    return it->second;
}

int CNandStore::Usage(uint32_t& nNodes, uint32_t& nPages, std::string& why) {
    std::vector<NandNode> nodes;
    const int e = Walk(nodes, why);
    if (e != 0) {
        return e;
    }
    nNodes = static_cast<uint32_t>(nodes.size());
    uint64_t pages = 0;
    for (const NandNode& n : nodes) {
        pages += NandNodePages(n.info);
    }
    nPages = static_cast<uint32_t>(std::min<uint64_t>(pages, 0xFFFFFFFFu));
    return 0;
}

int CNandStore::MakeDirectory(const NandPath& path, std::string& why) {
    const std::string name = JoinNandPath(path);
    if (path.empty()) {
        return 0;  // the root always exists
    }
    const int hParent = OpenDirectory(path, path.size() - 1);
    if (hParent < 0) {
        const int e = errno;
        why = Reason("no parent directory for " + name, e);
        return e;
    }
    struct stat st {};
    if (fstatat(hParent, path.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        ::close(hParent);
        if (S_ISDIR(st.st_mode)) {
            return 0;  // already there: a package may be written again
        }
        why = name + " exists and is not a directory";
        return EEXIST;
    }
    uint32_t nNodes = 0;
    uint32_t nPages = 0;
    int e = Usage(nNodes, nPages, why);
    if (e == 0 && (nNodes >= kNandNodes || nPages + 1 > kNandDataBlocks)) {
        why = "no room for the directory " + name;
        e = ENOSPC;
    }
    if (e == 0 && mkdirat(hParent, path.back().c_str(), 0755) != 0) {
        e = errno;
        why = Reason("cannot create " + name, e);
    }
    ::close(hParent);
    if (e != 0) {
        return e;
    }
    m_meta.erase(name);
    NodeMeta& meta = Meta(path);
    meta.tAccess = meta.tModify = meta.tChange = Now();
    SaveMetadata();
    return 0;
}

int CNandStore::BeginFile(const NandPath& path, uint32_t nSize, std::string& why) {
    EndFile();
    const std::string name = JoinNandPath(path);
    if (path.empty()) {
        why = "the root is a directory";
        return EISDIR;
    }
    const int hParent = OpenDirectory(path, path.size() - 1);
    if (hParent < 0) {
        const int e = errno;
        why = Reason("no directory for " + name, e);
        return e;
    }
    uint32_t nOldPages = 0;
    bool bExists = false;
    struct stat st {};
    if (fstatat(hParent, path.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode)) {
            ::close(hParent);
            why = name + (S_ISDIR(st.st_mode) ? " is a directory" : " is not a regular file");
            return S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
        }
        bExists = true;
        NandNodeInfo old;
        old.nSize = static_cast<uint32_t>(std::min<off_t>(st.st_size, 0xFFFFFFFF));
        nOldPages = NandNodePages(old);
    }
    uint32_t nNodes = 0;
    uint32_t nPages = 0;
    int e = Usage(nNodes, nPages, why);
    NandNodeInfo wanted;
    wanted.nSize = nSize;
    const uint64_t need = NandNodePages(wanted);
    const uint64_t free = kNandDataBlocks - std::min<uint64_t>(nPages - nOldPages, kNandDataBlocks);
    if (e == 0 && ((!bExists && nNodes >= kNandNodes) || need > free)) {
        why = "no room for " + name + " (" + std::to_string(nSize) + " bytes, " +
              std::to_string(free * kNandPageSize) + " bytes free)";
        e = ENOSPC;
    }
    if (e == 0) {
        m_hWrite = openat(hParent, path.back().c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (m_hWrite < 0) {
            e = errno;
            why = Reason("cannot create " + name, e);
        }
    }
    ::close(hParent);
    if (e != 0) {
        return e;
    }
    m_writePath = path;
    if (!bExists) {
        m_meta.erase(name);
    }
    NodeMeta& meta = Meta(path);
    meta.tAccess = meta.tModify = meta.tChange = Now();
    SaveMetadata();
    return 0;
}

int CNandStore::AppendFile(const uint8_t* p, size_t n, std::string& why) {
    if (m_hWrite < 0) {
        why = "no file is open for writing";
        return EBADF;
    }
    while (n > 0) {
        const ssize_t w = ::write(m_hWrite, p, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int e = errno;
            why = Reason("cannot write " + JoinNandPath(m_writePath), e);
            return e;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

void CNandStore::EndFile() {
    if (m_hWrite < 0) {
        return;
    }
    ::close(m_hWrite);
    m_hWrite = -1;
    NodeMeta& meta = Meta(m_writePath);
    meta.tModify = meta.tChange = Now();
    m_writePath.clear();
    SaveMetadata();
}

int CNandStore::List(const NandPath& path, std::vector<NandEntry>& entries, std::string& why) {
    entries.clear();
    const int hDir = OpenDirectory(path, path.size());
    if (hDir < 0) {
        const int e = errno;
        why = Reason("cannot list " + JoinNandPath(path), e);
        return e;
    }
    DIR* pDir = fdopendir(hDir);
    if (pDir == nullptr) {
        const int e = errno;
        ::close(hDir);
        why = Reason("cannot list " + JoinNandPath(path), e);
        return e;
    }
    while (const dirent* d = readdir(pDir)) {
        const std::string name = d->d_name;
        if (name == "." || name == ".." || (path.empty() && IsMetaName(name))) {
            continue;
        }
        struct stat st {};
        if (fstatat(dirfd(pDir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        // Links and devices are nothing the handset could have made.
        if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
            entries.push_back({name, S_ISDIR(st.st_mode)});
        }
    }
    closedir(pDir);
    std::sort(entries.begin(), entries.end(),
              [](const NandEntry& a, const NandEntry& b) { return a.strName < b.strName; });
    return 0;
}

int CNandStore::OpenForReading(const NandPath& path, int& hFile, uint32_t& nSize,
                               std::string& why) {
    hFile = OpenFile(path);
    if (hFile < 0) {
        const int e = errno;
        why = Reason("cannot read " + JoinNandPath(path), e);
        return e;
    }
    struct stat st {};
    fstat(hFile, &st);
    if (st.st_size > static_cast<off_t>(0xFFFFFFFFu)) {
        ::close(hFile);
        hFile = -1;
        why = JoinNandPath(path) + " is too large to read";
        return EFBIG;
    }
    nSize = static_cast<uint32_t>(st.st_size);
    Meta(path).tAccess = Now();
    SaveMetadata();
    return 0;
}

int CNandStore::Remove(const NandPath& path, std::string& why) {
    const std::string name = JoinNandPath(path);
    if (path.empty()) {
        why = "the root cannot be deleted";
        return EISDIR;
    }
    const int hParent = OpenDirectory(path, path.size() - 1);
    if (hParent < 0) {
        const int e = errno;
        why = Reason("cannot delete " + name, e);
        return e;
    }
    struct stat st {};
    int e = 0;
    if (fstatat(hParent, path.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        e = errno;
        why = Reason("cannot delete " + name, e);
    } else if (!S_ISREG(st.st_mode)) {
        e = S_ISDIR(st.st_mode) ? EISDIR : ENOENT;
        why = name + (S_ISDIR(st.st_mode) ? " is a directory; only files are deleted"
                                          : " is not a file of the handset");
    } else if (unlinkat(hParent, path.back().c_str(), 0) != 0) {
        e = errno;
        why = Reason("cannot delete " + name, e);
    }
    ::close(hParent);
    if (e != 0) {
        return e;
    }
    m_meta.erase(name);
    SaveMetadata();
    return 0;
}

int CNandStore::Stat(const NandPath& path, NandNodeInfo& info, std::string& why) {
    const std::string name = JoinNandPath(path);
    struct stat st {};
    if (path.empty()) {
        fstat(m_hRoot, &st);
    } else {
        const int hParent = OpenDirectory(path, path.size() - 1);
        if (hParent < 0) {
            const int e = errno;
            why = Reason("no status for " + name, e);
            return e;
        }
        const int r = fstatat(hParent, path.back().c_str(), &st, AT_SYMLINK_NOFOLLOW);
        const int e = errno;
        ::close(hParent);
        if (r != 0) {
            why = Reason("no status for " + name, e);
            return e;
        }
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            why = name + " is not a file of the handset";
            return ENOENT;
        }
    }
    const NodeMeta& meta = Meta(path);
    info.bDirectory = S_ISDIR(st.st_mode);
    info.nInode = meta.nInode;
    info.nSize =
        info.bDirectory ? 0 : static_cast<uint32_t>(std::min<off_t>(st.st_size, 0xFFFFFFFF));
    info.tAccess = meta.tAccess;
    info.tModify = meta.tModify;
    info.tChange = meta.tChange;
    return 0;
}

int CNandStore::Format(std::string& why) {
    EndFile();
    const int e = RemoveContents(m_hRoot, true, 0);
    if (e != 0) {
        why = Reason("cannot empty " + m_strDir, e);
        SaveMetadata();
        return e;
    }
    ResetRecords();
    m_formatted = Now();
    Meta({});
    SaveMetadata();
    return 0;
}

int CNandStore::Status(NandStatus& status, std::string& why) {
    uint32_t nNodes = 0;
    uint32_t nPages = 0;
    const int e = Usage(nNodes, nPages, why);
    if (e != 0) {
        return e;
    }
    status.nType = kNandFsType;
    status.nBlockSize = kNandPageSize;
    status.nBlockBits = 11;
    status.nBlocks = kNandDataBlocks;
    status.nFreeBlocks = kNandDataBlocks - std::min(nPages, kNandDataBlocks);
    status.nAvailBlocks = status.nFreeBlocks;
    status.nNodes = kNandNodes;
    status.nFreeNodes = kNandNodes - std::min(nNodes, kNandNodes);
    status.nFsid = kNandFsid;
    // One file alone in an empty file system: all blocks but the root's
    // header and its own.
    status.nMaxFileSize = (kNandDataBlocks - 2) * kNandPageSize;
    status.nNameLen = static_cast<int16_t>(kNandMaxName + 1);
    return 0;
}

int CNandStore::Walk(std::vector<NandNode>& nodes, std::string& why) {
    nodes.clear();
    if (m_hRoot < 0) {
        why = "the NAND is not open";
        return EBADF;
    }
    NandPath path;
    const int hRoot = openat(m_hRoot, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (hRoot < 0) {
        const int e = errno;
        why = Reason("cannot read " + m_strDir, e);
        return e;
    }
    NandNode root;
    const NodeMeta& meta = Meta({});
    root.info = {true, meta.nInode, 0, meta.tAccess, meta.tModify, meta.tChange};
    nodes.push_back(root);
    const int e = WalkDirectory(hRoot, path, nodes, 0);
    ::close(hRoot);
    if (e != 0) {
        why = Reason("cannot read the tree under " + m_strDir, e);
    }
    return e;
}

int CNandStore::WalkDirectory(int hDir, NandPath& path, std::vector<NandNode>& nodes, int nDepth) {
    if (nDepth > kMaxDepth) {
        return ELOOP;
    }
    std::vector<std::string> names;
    if (const int e = ListNames(hDir, nDepth == 0, names); e != 0) {
        return e;
    }
    struct Item {
        std::string name;
        struct stat st;
    };
    std::vector<Item> items;
    for (std::string& name : names) {
        Item item{std::move(name), {}};
        if (fstatat(hDir, item.name.c_str(), &item.st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !(S_ISREG(item.st.st_mode) || S_ISDIR(item.st.st_mode))) {
            continue;
        }
        items.push_back(std::move(item));
    }
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.name < b.name; });
    for (const Item& item : items) {
        path.push_back(item.name);
        NandNode node;
        node.path = path;
        const NodeMeta& meta = Meta(path);
        node.info.bDirectory = S_ISDIR(item.st.st_mode);
        node.info.nInode = meta.nInode;
        node.info.nSize = node.info.bDirectory
                              ? 0
                              : static_cast<uint32_t>(std::min<off_t>(item.st.st_size, 0xFFFFFFFF));
        node.info.tAccess = meta.tAccess;
        node.info.tModify = meta.tModify;
        node.info.tChange = meta.tChange;
        nodes.push_back(std::move(node));
        if (S_ISDIR(item.st.st_mode)) {
            const int hSub =
                openat(hDir, item.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (hSub >= 0) {
                const int e = WalkDirectory(hSub, path, nodes, nDepth + 1);
                ::close(hSub);
                if (e != 0) {
                    path.pop_back();
                    return e;
                }
            }
        }
        path.pop_back();
    }
    return 0;
}

// The format is described in the header.
void CNandStore::LoadMetadata() {
    const int h = openat(m_hRoot, kNandMetaName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (h < 0) {
        return;
    }
    std::string text;
    char buf[65536];
    ssize_t r = 0;
    while ((r = ::read(h, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(r));
        if (text.size() > (64u << 20)) {
            break;
        }
    }
    ::close(h);
    int nBad = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line = std::string_view(text).substr(pos, end - pos);
        pos = end + 1;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::vector<std::string_view> w = SplitWords(line, 8);
        const std::string_view key = w[0];
        CivilSeconds t = 0;
        uint32_t v = 0;
        bool bOk = true;
        if (key == "mfx-meta" || key == "status") {
        } else if (key == "formatted" && w.size() == 2) {
            if (ParseCivil(w[1], t)) {
                m_formatted = t;
            }
        } else if (key == "time" && w.size() == 2) {
            if (ParseCivil(w[1], t)) {
                m_timeSet = t;
                m_clockBase = t;
            }
        } else if (key == "project-version" && w.size() >= 2) {
            std::array<uint8_t, 16> version{};
            if (FromHex(w[1], version)) {
                m_projectVersion = version;
            }
        } else if (key == "release-version" && w.size() >= 2) {
            std::array<uint8_t, 12> version{};
            if (FromHex(w[1], version)) {
                m_releaseVersion = version;
            }
        } else if (key == "package-crc" && w.size() == 3) {
            if (ParseHex32(w[1], v)) {
                m_crcAnnounced = v;
            }
            if (ParseHex32(w[2], v)) {
                m_crcComputed = v;
            }
        } else if (key == "next-inode" && w.size() == 2 && ParseU32(w[1], v)) {
            m_nNextInode = std::max(v, 2u);
        } else if (key == "node" && w.size() == 8) {
            NodeMeta meta;
            std::string path;
            NandPath parts;
            std::string why;
            bOk = ParseU32(w[1], meta.nInode) && ParseCivil(w[4], meta.tChange) &&
                  ParseCivil(w[5], meta.tModify) && ParseCivil(w[6], meta.tAccess) &&
                  UnescapePath(w[7], path) && (path == "/" || ParseNandPath(path, parts, why));
            if (bOk) {
                m_meta[JoinNandPath(parts)] = meta;
                m_nNextInode = std::max(m_nNextInode, meta.nInode + 1);
            }
        } else {
            bOk = false;
        }
        nBad += bOk ? 0 : 1;
    }
    if (nBad > 0) {
        Notice("NAND: " + std::to_string(nBad) + " unreadable line(s) in " + MetadataPath() +
               " skipped");
    }
}

void CNandStore::SaveMetadata() {
    if (m_hRoot < 0) {
        return;
    }
    std::vector<NandNode> nodes;
    std::string why;
    Walk(nodes, why);  // a partial walk still records what it found
    uint64_t pages = 0;
    for (const NandNode& n : nodes) {
        pages += NandNodePages(n.info);
    }
    const uint64_t used = std::min<uint64_t>(pages, kNandDataBlocks);
    std::string text = "# oriel_handset_sim NAND metadata; rewritten after every change\n";
    text += "mfx-meta 1\n";
    text += "formatted " + (m_formatted ? FormatCivil(*m_formatted) : std::string("never")) + "\n";
    text += "time " + (m_timeSet ? FormatCivil(*m_timeSet) : std::string("none")) + "\n";
    if (m_projectVersion) {
        text += "# project version \"" + Printable(m_projectVersion->data(), 16) + "\"\n";
        text += "project-version " + ToHex(m_projectVersion->data(), 16) + "\n";
    } else {
        text += "project-version none\n";
    }
    if (m_releaseVersion) {
        text += "# release version \"" + Printable(m_releaseVersion->data(), 12) + "\"\n";
        text += "release-version " + ToHex(m_releaseVersion->data(), 12) + "\n";
    } else {
        text += "release-version none\n";
    }
    char buf[64];
    auto hex = [&](const std::optional<uint32_t>& v) {
        if (!v) {
            return std::string("none");
        }
        std::snprintf(buf, sizeof buf, "0x%08x", *v);
        return std::string(buf);
    };
    text += "package-crc " + hex(m_crcAnnounced) + " " + hex(m_crcComputed) + "\n";
    text += "next-inode " + std::to_string(m_nNextInode) + "\n";
    text += "# status f_blocks f_bfree f_files f_ffree\n";
    text += "status " + std::to_string(kNandDataBlocks) + " " +
            std::to_string(kNandDataBlocks - used) + " " + std::to_string(kNandNodes) + " " +
            std::to_string(kNandNodes - std::min<uint64_t>(nodes.size(), kNandNodes)) + "\n";
    text += "# node inode type size change modify access path\n";
    for (const NandNode& n : nodes) {
        text += "node " + std::to_string(n.info.nInode) + " " +
                (n.info.bDirectory ? "dir " : "file ") + std::to_string(n.info.nSize) + " " +
                FormatCivil(n.info.tChange) + " " + FormatCivil(n.info.tModify) + " " +
                FormatCivil(n.info.tAccess) + " " + EscapePath(JoinNandPath(n.path)) + "\n";
    }
    // Nodes no longer in the tree (removed by hand) are forgotten.
    std::map<std::string, NodeMeta> kept;
    for (const NandNode& n : nodes) {
        const std::string key = JoinNandPath(n.path);
        kept[key] = m_meta[key];
    }
    m_meta.swap(kept);

    const int h =
        openat(m_hRoot, kMetaTempName, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool bOk = h >= 0;
    const char* p = text.data();
    size_t n = text.size();
    while (bOk && n > 0) {
        const ssize_t w = ::write(h, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        bOk = w > 0;
        if (bOk) {
            p += w;
            n -= static_cast<size_t>(w);
        }
    }
    const int e = errno;
    if (h >= 0) {
        ::close(h);
    }
    if (bOk && renameat(m_hRoot, kMetaTempName, m_hRoot, kNandMetaName) != 0) {
        bOk = false;
    }
    if (!bOk) {
        Notice(Reason("NAND: cannot write " + MetadataPath(), e != 0 ? e : errno));
    }
}

}  // namespace orielsim
