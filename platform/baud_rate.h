#pragma once
// termios speed constants of the line rates both programs use; both the
// single-handset serial port and the fleet's ttys set their rate through it.

#include <cstdint>

namespace platform {

// False for a rate termios has no constant for here.
bool BaudToSpeed(uint32_t nBaud, unsigned int& speed);

}  // namespace platform
