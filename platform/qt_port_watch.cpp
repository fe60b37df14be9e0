#include "platform/qt_port_watch.h"

#include <QDir>
#include <QFileInfo>

namespace platform {

namespace {

// udev adds a device's node and links in several steps; one listing after
// they settle is enough.
constexpr int kSettleMs = 200;

}  // namespace

bool SamePorts(const std::vector<SerialPortInfo>& a, const std::vector<SerialPortInfo>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].strPath != b[i].strPath || a[i].strDevice != b[i].strDevice ||
            a[i].Description() != b[i].Description()) {
            return false;
        }
    }
    return true;
}

CQtPortWatch::CQtPortWatch(SerialPortScan scan) : m_scan(std::move(scan)) {
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    QObject::connect(&m_settle, &QTimer::timeout, [this] { Refresh(); });
    QObject::connect(&m_watcher, &QFileSystemWatcher::directoryChanged,
                     [this](const QString&) { m_settle.start(); });
    m_ports = ListSerialPorts(m_scan);
    Rewatch();
}

void CQtPortWatch::SetScan(const SerialPortScan& scan) {
    m_scan = scan;
    m_ports = ListSerialPorts(m_scan);
    Rewatch();
}

void CQtPortWatch::Refresh() {
    Rewatch();
    std::vector<SerialPortInfo> ports = ListSerialPorts(m_scan);
    if (SamePorts(ports, m_ports)) {
        return;
    }
    m_ports = std::move(ports);
    if (m_fnChanged) {
        m_fnChanged();
    }
}

void CQtPortWatch::Rewatch() {
    QStringList wanted;
    // The folder, and the parents it may yet be made in.
    QString dir = QString::fromStdString(m_scan.strByIdFolder);
    for (int level = 0; level < 3 && !dir.isEmpty() && dir != "/"; ++level) {
        if (QFileInfo(dir).isDir()) {
            wanted << dir;
        }
        dir = QFileInfo(dir).path();
    }
    if (m_scan.bUnlinked && QFileInfo(QString::fromStdString(m_scan.strDevRoot)).isDir()) {
        wanted << QString::fromStdString(m_scan.strDevRoot);
    }
    wanted.removeDuplicates();
    const QStringList current = m_watcher.directories();
    for (const QString& d : current) {
        if (!wanted.contains(d) || !QFileInfo(d).isDir()) {
            m_watcher.removePath(d);
        }
    }
    for (const QString& d : wanted) {
        if (!m_watcher.directories().contains(d)) {
            m_watcher.addPath(d);
        }
    }
}

}  // namespace platform
