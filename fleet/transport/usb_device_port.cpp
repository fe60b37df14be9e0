#include "fleet/transport/usb_device_port.h"

#include <algorithm>
#include <cstdio>

#include "fleet/transport/stop_token.h"
#include "fleet/transport/tty_device.h"
#include "platform/diag_log.h"
#include "platform/port_open_failure.h"

namespace fleet {

bool OfAnotherVendor(const DeviceInterfaceClass& interfaceClass, const std::string& strName) {
    if (interfaceClass.strVendorId.empty()) {
        return false;
    }
    const std::string vendor =
        tty::UsbVendorOfTty(interfaceClass.strFolder + "/" + strName, interfaceClass.strSysRoot);
    if (vendor.empty() || vendor == interfaceClass.strVendorId) {
        return false;
    }
    platform::Diag("usb", strName + ": vendor " + vendor + ", not a handset");
    return true;
}

std::vector<std::string> InterfaceLinks(const DeviceInterfaceClass& interfaceClass) {
    std::vector<std::string> names =
        tty::ListMatching(interfaceClass.strFolder, interfaceClass.strPattern);
    std::erase_if(names,
                  [&](const std::string& name) { return OfAnotherVendor(interfaceClass, name); });
    return names;
}

bool UsbDevicePort::Open(const DeviceInterfaceClass& interfaceClass, int nSlot) {
    Close();
    const std::vector<std::string> names = InterfaceLinks(interfaceClass);
    // Every link is tried, not only the first nSlot + 1: a slot reset while a
    // later slot still holds its handset would otherwise never reach a
    // handset attached after that one.
    (void)nSlot;
    m_failedOpens.clear();
    for (const std::string& name : names) {
        if (TryOpen(interfaceClass.strFolder + "/" + name)) {
            break;
        }
    }
    m_bOpened = 1;
    return m_hDevice >= 0;
}

std::string UsbDevicePort::OpenFailureText(const std::string& strLineEnd) const {
    std::string text;
    for (const auto& [path, nError] : m_failedOpens) {
        const platform::PortOpenFailure failure = platform::ExplainPortOpenFailure(path, nError);
        if (failure.HeldByThisProcess()) {
            continue;
        }
        text += (text.empty() ? "" : strLineEnd) + failure.Text(strLineEnd);
    }
    return text;
}

bool UsbDevicePort::OpenLink(const DeviceInterfaceClass& interfaceClass,
                             const std::string& strName) {
    Close();
    m_failedOpens.clear();
    const bool bOpen = TryOpen(interfaceClass.strFolder + "/" + strName);
    m_bOpened = 1;
    return bOpen;
}

bool UsbDevicePort::TryOpen(const std::string& strPath) {
    m_strDevicePath = strPath;
    std::printf("Attempting to open %s\n", strPath.c_str());
    std::fflush(stdout);
    std::string why;
    int nError = 0;
    int fd = tty::OpenExclusive(strPath, why, &nError);
    if (fd < 0) {
        m_failedOpens.emplace_back(strPath, nError);
    } else if (!tty::MakeRaw(fd, tty::LineSettings{}, why)) {
        tty::Close(fd);
        fd = -1;
    }
    if (fd < 0) {
        std::printf("FAILED to open %s\n", strPath.c_str());
        std::fflush(stdout);
        platform::Diag("usb", strPath + ": " + why);
        return false;
    }
    m_hDevice = fd;
    return true;
}

void UsbDevicePort::TakeOver(UsbDevicePort& other) {
    if (&other == this) {
        return;
    }
    Close();
    m_hDevice = other.m_hDevice;
    m_strDevicePath = other.m_strDevicePath;
    m_bOpened = other.m_bOpened;
    other.m_hDevice = -1;
    other.m_bOpened = 0;
}

void UsbDevicePort::Close() {
    if (m_hDevice >= 0) {
        tty::Close(m_hDevice);
        m_hDevice = -1;
    }
    m_bOpened = 0;
}

size_t UsbDevicePort::Write(const uint8_t* pData, size_t nLength) {
    if (m_hDevice < 0) {
        return 0;
    }
    const size_t written = tty::WriteAll(m_hDevice, pData, nLength, m_timing.writeStall);
    if (written < nLength) {
        platform::Diag("usb", m_strDevicePath + ": write cut short");
    }
    return written;
}

size_t UsbDevicePort::Read(uint8_t* pData, size_t nWanted, int bWait) {
    if (m_hDevice < 0 || nWanted == 0) {
        return 0;
    }
    const auto deadline = std::chrono::steady_clock::now() + m_timing.blockingBound;
    size_t n = 0;
    for (int pass = 0; pass < m_timing.nPasses; ++pass) {
        if (StopRequested()) {
            return 0;
        }
        const int queued = tty::BytesQueued(m_hDevice);
        if (queued < 0) {
            return 0;
        }
        n = std::min(nWanted, static_cast<size_t>(queued));
        if (n > 0) {
            break;
        }
        if (bWait != 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 ||
                tty::WaitReadable(m_hDevice, left) == tty::WaitResult::TimedOut) {
                return 0;
            }
            continue;
        }
        for (int poll = 0; poll < m_timing.nPolls; ++poll) {
            if (tty::WaitReadable(m_hDevice, std::chrono::milliseconds(0)) !=
                tty::WaitResult::TimedOut) {
                break;
            }
            if (!StoppableSleep(m_timing.pollSleep)) {
                return 0;
            }
        }
    }
    return n > 0 ? tty::ReadAvailable(m_hDevice, pData, n) : 0;
}

}  // namespace fleet
