#pragma once
// A raw tty client standing in for the host on the simulated handset's port,
// and the walks that take the handset from power-on to its pre-loader and to
// its boot-loader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "oriel/boot/loader_images.h"

namespace simtest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

class Client {
  public:
    explicit Client(const std::string& path) {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd >= 0) {
            SetSpeed(B115200);
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
    void SetSpeed(speed_t speed) {
        termios tio{};
        tcgetattr(m_fd, &tio);
        cfmakeraw(&tio);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tcsetattr(m_fd, TCSANOW, &tio);
    }
    // All of it, waiting for room in the line when it is full.
    void Send(const Bytes& b) {
        size_t done = 0;
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (done < b.size() && std::chrono::steady_clock::now() < end) {
            const ssize_t w = ::write(m_fd, b.data() + done, b.size() - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            pollfd p{m_fd, POLLOUT, 0};
            poll(&p, 1, 100);
        }
        ASSERT_EQ(done, b.size());
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
            }
        }
        return out;
    }
    uint8_t ReadByte(std::chrono::milliseconds timeout = 2000ms) {
        const Bytes b = Read(1, timeout);
        return b.empty() ? 0x00 : b[0];
    }
    // The next byte that is not a connect request.
    uint8_t ReadSkipping81(std::chrono::milliseconds timeout = 2000ms) {
        for (;;) {
            const Bytes b = Read(1, timeout);
            if (b.empty()) {
                return 0x00;
            }
            if (b[0] != 0x81) {
                return b[0];
            }
        }
    }

  private:
    int m_fd = -1;
};

inline Bytes RealPreloader() {
    const oriel::LoaderImage p = oriel::PreloaderImage();
    return Bytes(p.pData, p.pData + p.nLength);
}

inline uint8_t Sum(const Bytes& b) {
    unsigned s = 0;
    for (const uint8_t x : b) {
        s += x;
    }
    return static_cast<uint8_t>(s);
}

// Runs the ROM part with the right customer ID; returns the reply to 'J'.
inline uint8_t LoadPreloader(Client& c, const Bytes& preloader) {
    EXPECT_EQ(c.Read(1), Bytes{0x81});
    c.Send({0x44});
    EXPECT_EQ(c.ReadSkipping81(), 0x44);
    c.Send({0x51});
    const Bytes challenge = c.Read(16);
    EXPECT_EQ(challenge.size(), 16u);
    Bytes id{0x44};
    const auto customer = oriel::CustomerId();
    id.insert(id.end(), customer.begin(), customer.end());
    id.insert(id.end(), challenge.begin(), challenge.end());
    c.Send(id);
    EXPECT_EQ(c.Read(1), Bytes{'O'});
    c.Send({'T', 0x10});
    EXPECT_EQ(c.Read(1), Bytes{'O'});
    c.Send({'S', 0x00, 0x00, 0x00, 0x0C});
    EXPECT_EQ(c.Read(1), Bytes{'O'});
    for (size_t k = 0; k < preloader.size(); k += 4) {
        c.Send({'L', 0x00, preloader[k], preloader[k + 1], preloader[k + 2], preloader[k + 3]});
        EXPECT_EQ(c.Read(1), Bytes{'O'});
    }
    c.Send({'S', 0x00, 0x00, 0x00, 0x0C});
    EXPECT_EQ(c.Read(1), Bytes{'O'});
    c.Send({'J'});
    const Bytes r = c.Read(1);
    return r.empty() ? 0x00 : r[0];
}

// Power-on to the running boot-loader at 115200 (Mode TAT): the ROM, the
// pre-loader with the rate byte 0, the port closed and re-opened, 0xD9, the
// fast boot-loader in 2048-byte blocks, then CS0 and the flash ID. Null (with
// a test failure) when a step went wrong.
inline std::unique_ptr<Client> OpenBootLoader(const std::string& path) {
    {
        Client c(path);
        if (!c.IsOpen() || LoadPreloader(c, RealPreloader()) != 0xAB) {
            ADD_FAILURE() << "the pre-loader did not start";
            return nullptr;
        }
        c.Send({0});
    }
    std::this_thread::sleep_for(50ms);
    auto c = std::make_unique<Client>(path);
    c->Send({0xD9});
    if (c->Read(1) != Bytes{0}) {
        ADD_FAILURE() << "no rate sync";
        return nullptr;
    }
    const oriel::LoaderImage image = oriel::BootloaderImage(true);
    const auto n = static_cast<uint32_t>(image.nLength);
    const Bytes length{static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                       static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    Bytes cmd{0xD4};
    cmd.insert(cmd.end(), length.begin(), length.end());
    c->Send(cmd);
    if (c->Read(1) != Bytes{Sum(length)}) {
        ADD_FAILURE() << "boot-loader length not acknowledged";
        return nullptr;
    }
    for (size_t at = 0; at < image.nLength; at += 2048) {
        c->Send({0xF7});
        if (c->Read(1) != Bytes{0xF7}) {
            ADD_FAILURE() << "no DMA ready at " << at;
            return nullptr;
        }
        const Bytes block(image.pData + at, image.pData + std::min(at + 2048, image.nLength));
        c->Send(block);
        if (c->Read(1) != Bytes{Sum(block)}) {
            ADD_FAILURE() << "block at " << at << " not acknowledged";
            return nullptr;
        }
    }
    c->Send({0xFF});
    if (c->Read(1) != Bytes{0xAB}) {
        ADD_FAILURE() << "the boot-loader did not start";
        return nullptr;
    }
    c->Send({0xD0, 0x10, 0x00, 0x00, 0x00});
    if (c->Read(1) != Bytes{0x10}) {
        ADD_FAILURE() << "CS0 not acknowledged";
        return nullptr;
    }
    c->Send({0xD1});
    if (c->Read(8).size() != 8) {
        ADD_FAILURE() << "no flash ID";
        return nullptr;
    }
    return c;
}

}  // namespace simtest
