#include "sim/common/raw_pty.h"

#include <fcntl.h>
#include <limits.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simcommon {

int OpenRawPty(std::string& strSlave, std::string& error) {
    int hMaster = -1;
    int hSlave = -1;
    char name[PATH_MAX] = {};
    if (openpty(&hMaster, &hSlave, name, nullptr, nullptr) != 0) {
        error = std::string("openpty failed: ") + std::strerror(errno);
        return -1;
    }
    termios tio{};
    if (tcgetattr(hSlave, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tcsetattr(hSlave, TCSANOW, &tio);
    }
    ::close(hSlave);
    const int flags = fcntl(hMaster, F_GETFL);
    if (flags < 0 || fcntl(hMaster, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(hMaster, F_SETFD, FD_CLOEXEC) != 0) {
        error = std::string("cannot set up the pseudo-terminal: ") + std::strerror(errno);
        ::close(hMaster);
        return -1;
    }
    strSlave = name;
    return hMaster;
}

}  // namespace simcommon
