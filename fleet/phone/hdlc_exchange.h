#pragma once
// Send-and-expect on the modem port: write a frame, pause, wait for the
// answer and judge it; try again on a negative answer, up to the attempts.

#include <chrono>
#include <cstdint>
#include <vector>

namespace fleet {

class ComPort;

// A modem that says nothing for this long after a frame has not answered it;
// without a bound a modem that has gone quiet would hold the worker forever.
constexpr std::chrono::milliseconds kAnswerWaitBound{5000};
// Opening an area or the EFS erase answers only once the flash is erased.
constexpr std::chrono::milliseconds kEraseAnswerWaitBound{60000};
// Once an answer has begun, the rest of it (a frame up to its closing flag)
// is waited for this long before it is judged as it stands.
constexpr std::chrono::milliseconds kAnswerCompletionBound{200};

// 2 when acknowledged; 0xA1 when the frame could not be written; otherwise
// the last response code seen (0 when nothing came). Bytes that were waiting
// before a frame is written belong to no answer of it and are discarded.
int Exchange(ComPort& port, const std::vector<uint8_t>& frame, int nAttempts,
             std::chrono::milliseconds pause, std::chrono::milliseconds answerBound);

// A frame sent once without waiting (SendOnly) and then exchanged: the
// greeting. A modem answers both; the first answer can come only after the
// exchange has begun and be taken for its answer, and the second would then
// be taken for the answer to the next frame (a refused area open read as
// accepted). So when the first answer had not come before the exchange, an
// acknowledged exchange waits up to lateBound for the other answer and drops it.
int ExchangeAfterUnwaited(ComPort& port, const std::vector<uint8_t>& frame, int nAttempts,
                          std::chrono::milliseconds pause, std::chrono::milliseconds answerBound,
                          std::chrono::milliseconds lateBound);
// How long an answer to the unwaited greeting may still be on its way; not a
// pause of the protocol (it ends when the answer comes), so it is not scaled.
constexpr std::chrono::milliseconds kLateAnswerBound{100};

// Writes the frame nCount times, pausing after each; reads nothing. False
// when a write failed.
bool SendOnly(ComPort& port, const std::vector<uint8_t>& frame, int nCount,
              std::chrono::milliseconds pause);

}  // namespace fleet
