#include "platform/baud_rate.h"

#include <termios.h>

namespace platform {

bool BaudToSpeed(uint32_t nBaud, unsigned int& speed) {
    switch (nBaud) {
        case 9600:
            speed = B9600;
            return true;
        case 19200:
            speed = B19200;
            return true;
        case 38400:
            speed = B38400;
            return true;
        case 57600:
            speed = B57600;
            return true;
        case 115200:
            speed = B115200;
            return true;
        case 230400:
            speed = B230400;
            return true;
        case 460800:
            speed = B460800;
            return true;
        case 921600:
            speed = B921600;
            return true;
        default:
            return false;
    }
}

}  // namespace platform
