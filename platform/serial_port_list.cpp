#include "platform/serial_port_list.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>

namespace platform {

namespace {

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first line of a sysfs attribute, without trailing blanks.
std::string ReadAttribute(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0) {
        line.pop_back();
    }
    return line;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(dir);
    return names;
}

// ttyS2 before ttyS10: digit runs compare as numbers.
bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) != 0 &&
            std::isdigit(static_cast<unsigned char>(b[j])) != 0) {
            size_t ei = i;
            size_t ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])) != 0) {
                ++ei;
            }
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])) != 0) {
                ++ej;
            }
            const std::string na = a.substr(i, ei - i);
            const std::string nb = b.substr(j, ej - j);
            const size_t za = na.find_first_not_of('0');
            const size_t zb = nb.find_first_not_of('0');
            const std::string ta = za == std::string::npos ? "" : na.substr(za);
            const std::string tb = zb == std::string::npos ? "" : nb.substr(zb);
            if (ta.size() != tb.size()) {
                return ta.size() < tb.size();
            }
            if (ta != tb) {
                return ta < tb;
            }
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// A tty without a by-id link counts as a port when it sits on hardware; a
// 8250-style UART only when the kernel found a chip there (type not 0).
bool IsHardwarePort(const std::string& sysRoot, const std::string& name) {
    struct stat st {};
    const std::string cls = sysRoot + "/class/tty/" + name;
    if (stat((cls + "/device").c_str(), &st) != 0) {
        return false;
    }
    const std::string type = ReadAttribute(cls + "/type");
    return type.empty() || type != "0";
}

}  // namespace

std::string ResolveDevice(const std::string& strPath) {
    char* real = realpath(strPath.c_str(), nullptr);
    if (real == nullptr) {
        return strPath;
    }
    std::string out = real;
    std::free(real);
    return out;
}

UsbDeviceInfo UsbDeviceOfTty(const std::string& strPath, const std::string& strSysRoot) {
    UsbDeviceInfo info;
    const std::string tty = BaseName(ResolveDevice(strPath));
    if (tty.empty() || tty == "." || tty == "..") {
        return info;
    }
    char* device = realpath((strSysRoot + "/class/tty/" + tty + "/device").c_str(), nullptr);
    if (device == nullptr) {
        return info;
    }
    std::string dir = device;
    std::free(device);
    // The interface node (ttyACM) or the converter's port (ttyUSB) sits a
    // few levels below the USB device that carries idVendor.
    for (int up = 0; up < 6 && dir.size() > strSysRoot.size(); ++up) {
        struct stat st {};
        if (stat((dir + "/idVendor").c_str(), &st) == 0) {
            info.strVendorId = ReadAttribute(dir + "/idVendor");
            info.strProductId = ReadAttribute(dir + "/idProduct");
            info.strMaker = ReadAttribute(dir + "/manufacturer");
            info.strModel = ReadAttribute(dir + "/product");
            info.strSerial = ReadAttribute(dir + "/serial");
            return info;
        }
        const size_t parent = dir.find_last_of('/');
        if (parent == std::string::npos || parent == 0) {
            break;
        }
        dir.resize(parent);
    }
    return info;
}

std::string SerialPortInfo::Description() const {
    std::string text = usb.strMaker;
    if (!usb.strModel.empty()) {
        text += (text.empty() ? "" : " ") + usb.strModel;
    }
    if (text.empty() && !usb.strVendorId.empty()) {
        text = "USB " + usb.strVendorId + ":" + usb.strProductId;
    }
    if (!usb.strSerial.empty()) {
        text += (text.empty() ? "serial " : ", serial ") + usb.strSerial;
    }
    return text;
}

std::vector<SerialPortInfo> ListSerialPorts(const SerialPortScan& scan) {
    std::vector<SerialPortInfo> ports;
    std::set<std::string> reached;
    std::vector<std::string> links = FolderEntries(scan.strByIdFolder);
    std::sort(links.begin(), links.end());
    for (const std::string& name : links) {
        const std::string path = scan.strByIdFolder + "/" + name;
        struct stat st {};
        // A link whose device has gone is no port (udev removes it soon after),
        // nor is anything but a character device.
        if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
            continue;
        }
        SerialPortInfo port;
        port.strPath = path;
        port.strName = name;
        port.strDevice = ResolveDevice(path);
        port.usb = UsbDeviceOfTty(port.strDevice, scan.strSysRoot);
        reached.insert(port.strDevice);
        ports.push_back(std::move(port));
    }
    if (!scan.bUnlinked) {
        return ports;
    }
    std::vector<std::string> ttys = FolderEntries(scan.strSysRoot + "/class/tty");
    std::sort(ttys.begin(), ttys.end(), NaturalLess);
    for (const std::string& name : ttys) {
        const std::string node = scan.strDevRoot + "/" + name;
        struct stat st {};
        if (stat(node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) ||
            !IsHardwarePort(scan.strSysRoot, name)) {
            continue;
        }
        const std::string device = ResolveDevice(node);
        if (reached.count(device) != 0) {
            continue;
        }
        SerialPortInfo port;
        port.strPath = node;
        port.strName = name;
        port.strDevice = device;
        port.usb = UsbDeviceOfTty(device, scan.strSysRoot);
        ports.push_back(std::move(port));
    }
    return ports;
}

const SerialPortInfo* FindPort(const std::vector<SerialPortInfo>& ports,
                               const std::string& strPath) {
    struct stat st {};
    if (strPath.empty() || stat(strPath.c_str(), &st) != 0) {
        return nullptr;
    }
    const std::string device = ResolveDevice(strPath);
    for (const SerialPortInfo& port : ports) {
        if (port.strPath == strPath || port.strDevice == device) {
            return &port;
        }
    }
    return nullptr;
}

}  // namespace platform
