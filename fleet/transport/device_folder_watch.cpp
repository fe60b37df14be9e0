#include "fleet/transport/device_folder_watch.h"

#include <dirent.h>
#include <fnmatch.h>
#include <limits.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace fleet {

namespace {

constexpr uint32_t kLinkEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool LinkNameMatches(const std::string& strName, const std::string& strPattern) {
    return fnmatch(strPattern.c_str(), strName.c_str(), 0) == 0;
}

int TtyNumberOf(const std::string& strPath) {
    char resolved[PATH_MAX] = {};
    const std::string target = realpath(strPath.c_str(), resolved) != nullptr ? resolved : strPath;
    size_t end = target.size();
    size_t start = end;
    while (start > 0 && target[start - 1] >= '0' && target[start - 1] <= '9') {
        --start;
    }
    if (start == end || end - start > 6) {
        return 0;
    }
    return std::atoi(target.substr(start).c_str());
}

CDeviceFolderWatch::~CDeviceFolderWatch() {
    Stop();
}

bool CDeviceFolderWatch::Start(const std::string& strFolder, std::string& error) {
    Stop();
    m_strFolder = strFolder;
    m_hNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_hNotify < 0) {
        error = std::string("cannot watch devices: ") + std::strerror(errno);
        return false;
    }
    if (WatchFolder()) {
        return true;
    }
    // Not there yet: wait for it in its parent.
    m_hParentWatch =
        inotify_add_watch(m_hNotify, Parent(strFolder).c_str(), IN_CREATE | IN_MOVED_TO);
    if (m_hParentWatch < 0) {
        error = "cannot watch " + strFolder + ": " + std::strerror(errno);
        Stop();
        return false;
    }
    return true;
}

bool CDeviceFolderWatch::WatchFolder() {
    m_hFolderWatch = inotify_add_watch(m_hNotify, m_strFolder.c_str(), kLinkEvents | IN_ONLYDIR);
    return m_hFolderWatch >= 0;
}

void CDeviceFolderWatch::ListExisting(std::vector<DeviceLinkEvent>& events) const {
    DIR* dir = opendir(m_strFolder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            events.push_back({name, true});
        }
    }
    closedir(dir);
}

std::vector<DeviceLinkEvent> CDeviceFolderWatch::ExistingLinks() const {
    std::vector<DeviceLinkEvent> events;
    ListExisting(events);
    return events;
}

void CDeviceFolderWatch::Stop() {
    if (m_hNotify >= 0) {
        ::close(m_hNotify);
    }
    m_hNotify = m_hFolderWatch = m_hParentWatch = -1;
}

std::vector<DeviceLinkEvent> CDeviceFolderWatch::ReadEvents() {
    std::vector<DeviceLinkEvent> events;
    if (m_hNotify < 0) {
        return events;
    }
    alignas(inotify_event) char buf[8192];
    for (;;) {
        const ssize_t n = ::read(m_hNotify, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        for (ssize_t pos = 0; pos + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + pos);
            pos += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            const std::string name = ev->len > 0 ? std::string(ev->name) : std::string();
            if (ev->wd == m_hParentWatch && name == BaseName(m_strFolder) && m_hFolderWatch < 0) {
                // The folder has appeared; links made in it before the watch
                // was in place are arrivals too.
                if (WatchFolder()) {
                    ListExisting(events);
                }
                continue;
            }
            if (ev->wd != m_hFolderWatch || name.empty()) {
                continue;
            }
            events.push_back({name, (ev->mask & (IN_CREATE | IN_MOVED_TO)) != 0});
        }
    }
    return events;
}

}  // namespace fleet
