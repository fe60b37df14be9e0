#pragma once
// Keeps the list of serial ports present up to date: watches the by-id
// folder, its parents (udev makes /dev/serial/by-id with the first serial
// device and removes it with the last) and /dev, and lists again shortly
// after a change there. The action runs on the Qt thread, only when the
// list really changed.

#include <QFileSystemWatcher>
#include <QTimer>
#include <functional>
#include <vector>

#include "platform/serial_port_list.h"

namespace platform {

class CQtPortWatch {
  public:
    explicit CQtPortWatch(SerialPortScan scan = {});
    CQtPortWatch(const CQtPortWatch&) = delete;
    CQtPortWatch& operator=(const CQtPortWatch&) = delete;

    // Another place to look (tests); lists at once, without the action.
    void SetScan(const SerialPortScan& scan);
    const SerialPortScan& Scan() const { return m_scan; }
    const std::vector<SerialPortInfo>& Ports() const { return m_ports; }
    void SetChangedAction(std::function<void()> fn) { m_fnChanged = std::move(fn); }

    // Lists now; runs the action when the list differs from the last one.
    void Refresh();

  private:
    void Rewatch();

    SerialPortScan m_scan;
    std::vector<SerialPortInfo> m_ports;
    std::function<void()> m_fnChanged;
    QFileSystemWatcher m_watcher;
    QTimer m_settle;
};

// Whether two listings show the same ports with the same descriptions.
bool SamePorts(const std::vector<SerialPortInfo>& a, const std::vector<SerialPortInfo>& b);

}  // namespace platform
