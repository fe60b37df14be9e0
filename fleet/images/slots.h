#pragma once
// The number of handsets the program serves at once.

namespace fleet {

constexpr int kSlotCount = 8;

}  // namespace fleet
