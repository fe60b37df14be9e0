#pragma once
// What the fleet handset tests share: a raw tty client standing in for the
// host, and the host's side of the two links written out by hand (command and
// stream packets, frames with their FCS, B000FF images), independently of the
// simulator's own code.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace fleetsimtest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

class CTempDir {
  public:
    CTempDir() {
        std::string templ =
            (std::filesystem::temp_directory_path() / "fleet_sim_test.XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        m_path = templ;
    }
    ~CTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

inline Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool IsLink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Polls until the condition holds or the time is up.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = 2000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The host's end of a port: raw, non-blocking.
class Client {
  public:
    explicit Client(const std::string& path) {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd >= 0) {
            termios tio{};
            tcgetattr(m_fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool IsOpen() const { return m_fd >= 0; }
    void Close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    // All of it; false when the line failed or stalled for the timeout.
    bool Send(const Bytes& b, std::chrono::milliseconds stall = 5000ms) {
        size_t done = 0;
        auto end = std::chrono::steady_clock::now() + stall;
        while (done < b.size()) {
            const ssize_t w = ::write(m_fd, b.data() + done, b.size() - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
                end = std::chrono::steady_clock::now() + stall;
                continue;
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            pollfd p{m_fd, POLLOUT, 0};
            poll(&p, 1, 50);
        }
        return true;
    }
    // Exactly n bytes, or what came before the timeout.
    Bytes Read(size_t n, std::chrono::milliseconds timeout = 2000ms) {
        Bytes out;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            uint8_t buf[8192];
            const ssize_t r = ::read(m_fd, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0) {
                out.insert(out.end(), buf, buf + r);
            } else if (r < 0 && errno != EAGAIN && errno != EINTR) {
                m_bHungUp = true;
                break;
            } else if (r == 0) {
                m_bHungUp = true;
                break;
            }
        }
        return out;
    }
    // Everything that arrives until nothing has come for `quiet`.
    Bytes ReadQuiet(std::chrono::milliseconds quiet = 150ms) {
        Bytes out;
        for (;;) {
            const Bytes b = Read(1 << 20, quiet);
            if (b.empty()) {
                return out;
            }
            out.insert(out.end(), b.begin(), b.end());
        }
    }
    // The handset hung the line up (seen by a read).
    bool HungUp() {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
            return true;
        }
        return m_bHungUp;
    }

  private:
    int m_fd = -1;
    bool m_bHungUp = false;
};

// --- PDA link --------------------------------------------------------------

inline void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    }
}
inline uint32_t Get32(const Bytes& b, size_t at = 0) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | b[at + static_cast<size_t>(i)];
    }
    return v;
}
inline Bytes Word(uint32_t v) {
    Bytes b(4);
    Put32(b, 0, v);
    return b;
}

inline uint32_t Sum32(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i) {
        s += p[i];
    }
    return s;
}
inline uint32_t Sum32(const Bytes& b) {
    return Sum32(b.data(), b.size());
}

inline Bytes Command(uint32_t code, uint32_t a1 = 0, uint32_t a2 = 0, uint32_t a3 = 0) {
    Bytes p(1024, 0);
    Put32(p, 0, code);
    Put32(p, 4, a1);
    Put32(p, 8, a2);
    Put32(p, 12, a3);
    return p;
}

inline Bytes WriteRam(uint32_t address, const uint8_t* data, size_t n) {
    Bytes p = Command(1, address, static_cast<uint32_t>(n), Sum32(data, n));
    std::copy_n(data, n, p.begin() + 16);
    return p;
}

// The whole of `data` as PDA_WRITE_RAM packets of up to 1008 bytes.
inline Bytes RamTransfer(uint32_t address, const Bytes& data) {
    Bytes out;
    for (size_t at = 0; at < data.size(); at += 1008) {
        const size_t n = std::min<size_t>(1008, data.size() - at);
        const Bytes p = WriteRam(static_cast<uint32_t>(address + at), data.data() + at, n);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

inline Bytes StreamPacket(uint16_t kind, const uint8_t* payload, size_t n) {
    Bytes p(1024, 0);
    p[0] = static_cast<uint8_t>(kind);
    p[1] = static_cast<uint8_t>(kind >> 8);
    Put32(p, 12, Sum32(payload, n));
    std::copy_n(payload, n, p.begin() + 16);
    return p;
}

// The stream of a whole B000FF image as the host cuts it (header, then per
// record its header, full pieces of kind 1024 and the last piece as its
// length), for images whose records are all streamed whole.
inline Bytes StreamImage(const Bytes& image) {
    Bytes out;
    auto add = [&](const Bytes& p) { out.insert(out.end(), p.begin(), p.end()); };
    size_t at = 0;
    add(StreamPacket(15, image.data(), 15));
    at = 15;
    while (at < image.size()) {
        const size_t h = std::min<size_t>(12, image.size() - at);
        add(StreamPacket(12, image.data() + at, h));
        at += h;
        size_t r = 0x20200;
        while (r > 1008 && at < image.size()) {
            const size_t n = std::min<size_t>(1008, image.size() - at);
            add(StreamPacket(1024, image.data() + at, n));
            at += n;
            r -= n;
        }
        if (at < image.size()) {
            const size_t n = std::min(r, image.size() - at);
            add(StreamPacket(static_cast<uint16_t>(n), image.data() + at, n));
            at += n;
        }
    }
    return out;
}

inline Bytes Pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

// "B000FF\n", image start and length, nRecords records of 0x20200 data
// bytes, and a shorter last record when nLast is non-zero.
inline Bytes B000ffImage(int nRecords, uint32_t nLast, uint32_t seed) {
    Bytes img{'B', '0', '0', '0', 'F', 'F', '\n'};
    const uint32_t total = static_cast<uint32_t>(nRecords) * 0x20200u + nLast;
    const Bytes start = Word(0x9CA80000);
    const Bytes length = Word(total);
    img.insert(img.end(), start.begin(), start.end());
    img.insert(img.end(), length.begin(), length.end());
    uint32_t address = 0x9CA80000;
    auto record = [&](uint32_t n, uint32_t s) {
        const Bytes data = Pattern(n, s);
        const Bytes a = Word(address), l = Word(n), c = Word(Sum32(data));
        img.insert(img.end(), a.begin(), a.end());
        img.insert(img.end(), l.begin(), l.end());
        img.insert(img.end(), c.begin(), c.end());
        img.insert(img.end(), data.begin(), data.end());
        address += n;
    };
    for (int i = 0; i < nRecords; ++i) {
        record(0x20200, seed + static_cast<uint32_t>(i));
    }
    if (nLast != 0) {
        record(nLast, seed + 1000);
    }
    return img;
}

constexpr uint32_t kRam = 0x80100000;
constexpr uint32_t kFlashBase = 0x9CA00000;
constexpr uint32_t kOsBase = 0x9CA80000;
const Bytes kOkup{'O', 'K', 'U', 'P'};
const Bytes kFail{'F', 'A', 'I', 'L'};

// --- modem link ------------------------------------------------------------

// FCS-16 bit by bit (the simulator uses a table).
inline uint16_t Fcs(const Bytes& b) {
    uint16_t f = 0xFFFF;
    for (const uint8_t x : b) {
        f ^= x;
        for (int i = 0; i < 8; ++i) {
            f = (f & 1) != 0 ? static_cast<uint16_t>((f >> 1) ^ 0x8408)
                             : static_cast<uint16_t>(f >> 1);
        }
    }
    return static_cast<uint16_t>(~f);
}

inline Bytes Frame(const Bytes& payload, bool bBadFcs = false) {
    Bytes body = payload;
    uint16_t f = Fcs(payload);
    if (bBadFcs) {
        f ^= 0x0101;
    }
    body.push_back(static_cast<uint8_t>(f));
    body.push_back(static_cast<uint8_t>(f >> 8));
    Bytes out{0x7E};
    for (const uint8_t x : body) {
        if (x == 0x7D || x == 0x7E || x == 0x7F) {
            out.push_back(0x7D);
            out.push_back(static_cast<uint8_t>(x ^ 0x20));
        } else {
            out.push_back(x);
        }
    }
    out.push_back(0x7E);
    if (out.size() % 64 == 0) {
        out.push_back(0x00);
    }
    return out;
}

inline Bytes Greeting() {
    return Frame({0xA0});
}
inline Bytes AreaOpen(uint32_t start, uint32_t length) {
    Bytes p(13, 0);
    p[0] = 0xEF;
    Put32(p, 5, length);
    Put32(p, 9, start);
    return Frame(p);
}
inline Bytes EfsErase() {
    Bytes p(13, 0);
    p[0] = 0xE0;
    return Frame(p);
}
inline Bytes LaunchFrame() {
    return Frame({0xC0, 0x10, 0x10, 0x00, 0x00});
}
inline Bytes ParamBlockFrame(uint32_t address, const Bytes& first24) {
    Bytes p(31, 0);
    p[0] = 0xFF;
    Put32(p, 1, address);
    p[5] = 0x00;
    p[6] = 0x02;  // 512
    std::copy_n(first24.begin(), 24, p.begin() + 7);
    return Frame(p);
}

// The answer's response code as the host judges it: the second byte after a
// leading flag, else the first; 'O','K' counts as the acknowledgement 2.
inline int ResponseCode(const Bytes& answer) {
    if (answer.size() >= 2 && answer[0] == 'O' && answer[1] == 'K') {
        return 2;
    }
    if (answer.empty()) {
        return 0;
    }
    if (answer[0] == 0x7E || answer[0] == 0x7F) {
        return answer.size() >= 2 ? answer[1] : 0;
    }
    return answer[0];
}

// Un-escapes one answer frame and checks its FCS; the payload, or empty.
inline Bytes DecodeAnswer(const Bytes& raw) {
    if (raw.size() < 5 || raw.front() != 0x7E || raw.back() != 0x7E) {
        return {};
    }
    Bytes b;
    for (size_t i = 1; i + 1 < raw.size(); ++i) {
        if (raw[i] == 0x7D && i + 2 < raw.size()) {
            b.push_back(static_cast<uint8_t>(raw[++i] ^ 0x20));
        } else {
            b.push_back(raw[i]);
        }
    }
    if (b.size() < 3) {
        return {};
    }
    const Bytes payload(b.begin(), b.end() - 2);
    const uint16_t f = static_cast<uint16_t>(b[b.size() - 2] | (b[b.size() - 1] << 8));
    return Fcs(payload) == f ? payload : Bytes{};
}

}  // namespace fleetsimtest
