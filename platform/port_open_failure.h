#pragma once
// Why a serial port could not be opened, in words an operator can act on:
// the device is missing, held by another process (which one, when /proc
// tells), or not permitted (with the way to get access). Both programs and
// both command lines say the same through this one place.

#include <string>
#include <vector>

namespace platform {

enum class PortProblem { None, Missing, Busy, PermissionDenied, NotATerminal, Other };

struct PortHolder {
    int nPid = 0;
    std::string strCommand;  // /proc/PID/comm; empty when unreadable
};

struct PortOpenFailure {
    PortProblem problem = PortProblem::None;
    // One line beginning with the path: "/dev/ttyUSB0: busy, held by process 812 (minicom)".
    std::string strCause;
    // What to do about it; empty when there is nothing to suggest.
    std::string strHint;
    // Busy: the processes found holding it.
    std::vector<PortHolder> holders;
    bool HeldByThisProcess() const;
    // The cause and, on a second line, the hint; each line but the last
    // ends in strLineEnd.
    std::string Text(const std::string& strLineEnd = "\n") const;
};

// The processes that have the device (or file) open, by pid, found through
// PROCROOT/<pid>/fd; processes whose descriptors cannot be read are skipped.
std::vector<PortHolder> FindPortHolders(const std::string& strPath,
                                        const std::string& strProcRoot = "/proc");

// nError is errno as open() left it, or EWOULDBLOCK when the lock was refused.
PortOpenFailure ExplainPortOpenFailure(const std::string& strPath, int nError,
                                       const std::string& strProcRoot = "/proc");

// A path that opened but is no terminal.
PortOpenFailure NotATerminal(const std::string& strPath);

}  // namespace platform
