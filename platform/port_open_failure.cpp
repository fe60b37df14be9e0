#include "platform/port_open_failure.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/format.h"

namespace platform {

namespace {

constexpr char kUdevHint[] =
    "for the fleet handsets, the udev rules 70-fleet-handsets.rules with their vendor id set "
    "give the user at the seat access";

bool SameFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) || S_ISBLK(a.st_mode)) {
        return (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) && a.st_rdev == b.st_rdev;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool AllDigits(const char* psz) {
    if (*psz == '\0') {
        return false;
    }
    for (; *psz != '\0'; ++psz) {
        if (*psz < '0' || *psz > '9') {
            return false;
        }
    }
    return true;
}

std::string CommandOf(const std::string& strProcRoot, const std::string& strPid) {
    std::ifstream in(strProcRoot + "/" + strPid + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

std::string HoldersText(const std::vector<PortHolder>& holders) {
    std::string text;
    for (const PortHolder& h : holders) {
        if (!text.empty()) {
            text += ", ";
        }
        if (h.nPid == static_cast<int>(getpid())) {
            text += Format("this program (process %d)", h.nPid);
        } else if (h.strCommand.empty()) {
            text += Format("process %d", h.nPid);
        } else {
            text += Format("process %d (%s)", h.nPid, h.strCommand.c_str());
        }
    }
    return text;
}

bool InGroup(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    return n >= 0 && std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

// Whether the group file lists the user although this process does not have
// the group: added, but the session began before.
bool ListedInGroup(const group& g) {
    const passwd* pw = getpwuid(geteuid());
    if (pw == nullptr || g.gr_mem == nullptr) {
        return false;
    }
    for (char** member = g.gr_mem; *member != nullptr; ++member) {
        if (std::strcmp(*member, pw->pw_name) == 0) {
            return true;
        }
    }
    return false;
}

std::string PermissionHint(const std::string& strPath) {
    struct stat st {};
    if (stat(strPath.c_str(), &st) != 0 || st.st_gid == 0) {
        return std::string("ask for access to the device: ") + kUdevHint;
    }
    const group* g = getgrgid(st.st_gid);
    const std::string name = g != nullptr ? g->gr_name : Format("%u", st.st_gid);
    if ((st.st_mode & S_IRWXG) != (S_IRGRP | S_IWGRP) && (st.st_mode & S_IRWXG) != S_IRWXG) {
        return Format("the device is not open to its group '%s' (mode %03o); ", name.c_str(),
                      st.st_mode & 0777) +
               kUdevHint;
    }
    if (InGroup(st.st_gid)) {
        return std::string("the device's group already includes you; ") + kUdevHint;
    }
    if (g != nullptr && ListedInGroup(*g)) {
        return Format(
                   "you were added to group '%s' after this session began: log out and in again; ",
                   name.c_str()) +
               kUdevHint;
    }
    return Format(
               "the device belongs to group '%s': add yourself with 'sudo usermod -aG %s "
               "$USER' and log in again; ",
               name.c_str(), name.c_str()) +
           kUdevHint;
}

std::string MissingCause(const std::string& strPath) {
    struct stat st {};
    if (lstat(strPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char target[PATH_MAX] = {};
        const ssize_t n = readlink(strPath.c_str(), target, sizeof target - 1);
        if (n > 0) {
            return Format("missing: the link leads to %.*s, which is not there",
                          static_cast<int>(n), target);
        }
    }
    return "missing: no such device";
}

}  // namespace

std::string PortOpenFailure::Text(const std::string& strLineEnd) const {
    return strHint.empty() ? strCause : strCause + strLineEnd + strHint;
}

bool PortOpenFailure::HeldByThisProcess() const {
    const int self = static_cast<int>(getpid());
    return std::any_of(holders.begin(), holders.end(),
                       [self](const PortHolder& h) { return h.nPid == self; });
}

std::vector<PortHolder> FindPortHolders(const std::string& strPath,
                                        const std::string& strProcRoot) {
    std::vector<PortHolder> holders;
    struct stat target {};
    if (stat(strPath.c_str(), &target) != 0) {
        return holders;
    }
    DIR* proc = opendir(strProcRoot.c_str());
    if (proc == nullptr) {
        return holders;
    }
    while (const dirent* entry = readdir(proc)) {
        if (!AllDigits(entry->d_name)) {
            continue;
        }
        const std::string pid = entry->d_name;
        const std::string fdDir = strProcRoot + "/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) {
            continue;  // another user's process, or gone meanwhile
        }
        bool bHolds = false;
        while (const dirent* fd = readdir(fds)) {
            struct stat st {};
            if (AllDigits(fd->d_name) && stat((fdDir + "/" + fd->d_name).c_str(), &st) == 0 &&
                SameFile(st, target)) {
                bHolds = true;
                break;
            }
        }
        closedir(fds);
        if (bHolds) {
            holders.push_back({std::atoi(pid.c_str()), CommandOf(strProcRoot, pid)});
        }
    }
    closedir(proc);
    std::sort(holders.begin(), holders.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.nPid < b.nPid; });
    return holders;
}

PortOpenFailure ExplainPortOpenFailure(const std::string& strPath, int nError,
                                       const std::string& strProcRoot) {
    PortOpenFailure f;
    std::string cause;
    switch (nError) {
        case ENOENT:
        case ENOTDIR:
            f.problem = PortProblem::Missing;
            cause = MissingCause(strPath);
            f.strHint = "check that the device is plugged in and the port names the right device";
            break;
        case ENODEV:
        case ENXIO:
        case EIO:
            f.problem = PortProblem::Missing;
            cause = "missing: no device answers behind this name (unplugged?)";
            f.strHint = "check that the device is plugged in and the port names the right device";
            break;
        case EBUSY:
        case EWOULDBLOCK: {
            f.problem = PortProblem::Busy;
            f.holders = FindPortHolders(strPath, strProcRoot);
            cause = f.holders.empty() ? "busy: another program holds it"
                                      : "busy: held by " + HoldersText(f.holders);
            f.strHint = "close the program that holds the port, or choose another port";
            break;
        }
        case EACCES:
        case EPERM:
        case EROFS:
            f.problem = PortProblem::PermissionDenied;
            cause = "permission denied";
            f.strHint = PermissionHint(strPath);
            break;
        case ENOTTY:
        case EISDIR:
            return NotATerminal(strPath);
        default:
            f.problem = PortProblem::Other;
            cause = std::strerror(nError);
            break;
    }
    f.strCause = strPath + ": " + cause;
    return f;
}

PortOpenFailure NotATerminal(const std::string& strPath) {
    PortOpenFailure f;
    f.problem = PortProblem::NotATerminal;
    f.strCause = strPath + ": not a serial port (no terminal device)";
    f.strHint = "choose a serial device, for example one under /dev/serial/by-id";
    return f;
}

}  // namespace platform
