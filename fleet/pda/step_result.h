#pragma once
// What a step of a slot's job ends with: 0, or the failing code the worker
// posts and the argument that goes with it.

#include <cstdint>

namespace fleet {

struct StepResult {
    uint32_t nCode = 0;
    uint32_t nDetail = 0;

    bool Ok() const { return nCode == 0; }
    static StepResult Fail(uint32_t nCode, uint32_t nDetail = 0) { return {nCode, nDetail}; }
};

}  // namespace fleet
