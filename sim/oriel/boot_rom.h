#pragma once
// The baseband chip's boot ROM: connect request, grant, challenge and
// customer-ID check, then the commands that load the pre-loader into SCRAM
// word by word and start it.

#include <array>
#include <cstdint>
#include <optional>
#include <random>

#include "sim/oriel/handset_context.h"

namespace orielsim {

class CBootRom {
  public:
    static constexpr uint32_t kScramBase = 0x0C000000;
    static constexpr uint32_t kScramSize = 0x2000;  // 8 KB of internal SCRAM
    static constexpr uint8_t kOk = 'O';
    static constexpr uint8_t kRefused = 'E';
    // How long a grant waits for the host's 0x51 before the ROM asks again.
    static constexpr int kQueryWaitMs = 200;

    explicit CBootRom(CHandsetContext& ctx);

    // The chip comes out of reset: starts sending connect requests.
    void Boot(TimePoint now);

    enum class Result { Stay, StartPreloader };
    Result OnByte(uint8_t b);
    void OnTimer(TimePoint now);
    std::optional<TimePoint> NextDeadline() const;

  private:
    enum class State {
        Connect,    // 0x81 repeating until the host sends 0x44
        WaitQuery,  // granted; waits for 0x51
        CollectId,  // 21 bytes: 0x44, customer ID, the challenge echoed
        Commands,   // authenticated: T, S, L, J
        Locked,     // wrong ID; deaf until the next power-on
    };

    Result OnCommandByte(uint8_t b);
    Result OnCommandComplete();
    void CheckId();
    Result Jump();

    CHandsetContext& m_ctx;
    std::mt19937 m_random;
    State m_state = State::Connect;
    TimePoint m_nextConnect{};
    std::array<uint8_t, 16> m_challenge{};
    std::array<uint8_t, 21> m_id{};
    size_t m_nIdBytes = 0;
    CArgCollector m_args;
    std::optional<uint32_t> m_address;  // address register: set by 'S', advanced by 'L'
    int m_nWords = 0;                   // words loaded in this boot
    bool m_bLoadedSinceAddress = false;
    std::array<uint8_t, kScramSize> m_scram{};
};

}  // namespace orielsim
