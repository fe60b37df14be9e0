#include "fleet/phone/hdlc_exchange.h"

#include <algorithm>

#include "fleet/pda/slot_pause.h"
#include "fleet/phone/hdlc_frame.h"
#include "fleet/transport/com_port.h"

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;

// The number of bytes dropped.
size_t DiscardQueued(ComPort& port) {
    uint8_t scratch[kComReceiveBufferSize];
    size_t nDropped = 0;
    size_t n = 0;
    while ((n = port.ReadInto(scratch, sizeof scratch)) > 0) {
        nDropped += n;
    }
    return nDropped;
}

// Reads until a read returns nothing, then, while the answer is not yet
// whole, waits a little for the rest.
void CollectAnswer(ComPort& port, std::vector<uint8_t>& answer) {
    uint8_t chunk[kComReceiveBufferSize];
    const auto deadline = Clock::now() + kAnswerCompletionBound;
    for (;;) {
        size_t n = 0;
        while ((n = port.ReadInto(chunk, sizeof chunk)) > 0) {
            answer.insert(answer.end(), chunk, chunk + n);
        }
        if (IsAnswerComplete(answer.data(), answer.size())) {
            return;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || port.WaitReceive(left) != 1) {
            return;
        }
    }
}

}  // namespace

int Exchange(ComPort& port, const std::vector<uint8_t>& frame, int nAttempts,
             std::chrono::milliseconds pause, std::chrono::milliseconds answerBound) {
    int last = 0;
    std::vector<uint8_t> answer;
    for (int attempt = 0; attempt < nAttempts; ++attempt) {
        DiscardQueued(port);
        if (port.Write(frame.data(), frame.size()) != 1) {
            return kHdlcWriteFailed;
        }
        SlotPause(pause);
        answer.clear();
        if (port.WaitReceive(answerBound) == 1) {
            CollectAnswer(port, answer);
        }
        if (!answer.empty()) {
            if (IsAcknowledgement(answer.data(), answer.size())) {
                return kHdlcAcknowledged;
            }
            last = ResponseCode(answer.data(), answer.size());
        }
    }
    return last;
}

int ExchangeAfterUnwaited(ComPort& port, const std::vector<uint8_t>& frame, int nAttempts,
                          std::chrono::milliseconds pause, std::chrono::milliseconds answerBound,
                          std::chrono::milliseconds lateBound) {
    const bool bEarlierAnswered = DiscardQueued(port) > 0;
    const int result = Exchange(port, frame, nAttempts, pause, answerBound);
    if (result == kHdlcAcknowledged && !bEarlierAnswered && port.WaitReceive(lateBound) == 1) {
        std::vector<uint8_t> late;
        CollectAnswer(port, late);
    }
    return result;
}

bool SendOnly(ComPort& port, const std::vector<uint8_t>& frame, int nCount,
              std::chrono::milliseconds pause) {
    bool bOk = true;
    for (int i = 0; i < nCount; ++i) {
        bOk = port.Write(frame.data(), frame.size()) == 1 && bOk;
        SlotPause(pause);
    }
    return bOk;
}

}  // namespace fleet
