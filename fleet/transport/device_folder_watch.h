#pragma once
// Arrivals and removals of device links in a folder in the style of
// /dev/serial/by-id, from inotify: the Linux form of device-change
// notifications. The owner polls Fd() (e.g. with a socket notifier) and
// calls ReadEvents when it is readable.

#include <string>
#include <vector>

namespace fleet {

struct DeviceLinkEvent {
    std::string strName;   // the link's name in the folder
    bool bArrived = true;  // false: removed
};

class CDeviceFolderWatch {
  public:
    CDeviceFolderWatch() = default;
    ~CDeviceFolderWatch();
    CDeviceFolderWatch(const CDeviceFolderWatch&) = delete;
    CDeviceFolderWatch& operator=(const CDeviceFolderWatch&) = delete;

    // False with a message when the folder cannot be watched (udev creates
    // /dev/serial/by-id only with the first serial device: a missing folder
    // is watched from its parent until it appears).
    bool Start(const std::string& strFolder, std::string& error);
    void Stop();
    int Fd() const { return m_hNotify; }
    const std::string& Folder() const { return m_strFolder; }

    // Everything that happened since the last call (non-blocking).
    std::vector<DeviceLinkEvent> ReadEvents();
    // The links there now, as arrivals (handsets attached before the watch).
    std::vector<DeviceLinkEvent> ExistingLinks() const;

  private:
    bool WatchFolder();
    void ListExisting(std::vector<DeviceLinkEvent>& events) const;

    int m_hNotify = -1;
    int m_hFolderWatch = -1;
    int m_hParentWatch = -1;
    std::string m_strFolder;
};

// Whether a name matches a shell pattern ("usb-*-if01*").
bool LinkNameMatches(const std::string& strName, const std::string& strPattern);

// The number of the tty a device path or link leads to: /dev/ttyACM3 -> 3,
// /dev/pts/7 -> 7; 0 when there is none.
int TtyNumberOf(const std::string& strPath);

}  // namespace fleet
