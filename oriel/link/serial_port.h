#pragma once
// The one serial port of the single-handset downloader: exclusive open by port
// number, raw line at the boot and loader rates, a receive thread that batches
// bytes into m_QueueRead and wakes the UI thread with WM_COMM_RXCHAR, blocking
// sends. No protocol knowledge lives here.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "oriel/link/byte_queue.h"
#include "platform/port_open_failure.h"
#include "platform/window_message.h"

namespace platform {
class IPrompts;
class ISettingsStore;
}  // namespace platform

namespace oriel {

constexpr uint32_t WM_COMM_RXCHAR = platform::WM_USER + 1;  // 0x0401
// The receive thread's reports; lParam is a SerialNotice. Shown on the UI
// thread by whoever owns the port, never from the receive thread itself.
constexpr uint32_t WM_COMM_NOTICE = platform::WM_USER + 2;

enum SerialNotice : intptr_t {
    kNoticeQueueFull = 1,    // "m_QueueRead FULL!"
    kNoticeThreadError = 2,  // "Error while creating ThreadWatchComm, " + port name
    // The device hung up or reads fail (adapter unplugged, peer closed): the
    // connection is over. Posted once; the thread then only waits for Close().
    kNoticePortGone = 3,
};

// Line format values, numbered as the serial drivers of the other platform number them.
enum class Parity : uint8_t { None = 0, Odd = 1, Even = 2 };
enum class StopBits : uint8_t { One = 0, Two = 2 };

// Largest single read of the receive thread.
constexpr size_t kReadChunk = 8194;
// In block mode the UI thread is woken only when exactly this much is queued.
constexpr int32_t kBlockModeWakeCount = 8193;
// A send that makes no progress for this long is abandoned (a vanished adapter
// must not freeze the UI thread); the short count is returned as for a write error.
constexpr int kSendStallLimitMs = 5000;
// Close waits at most this long for queued output to leave before it purges.
constexpr int kCloseDrainLimitMs = 2000;

class CSerialPort {
  public:
    CSerialPort();
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Wiring, done once on the UI thread before the first Open.
    void SetMessageSink(platform::IMessageSink* pSink) { m_pSink = pSink; }
    void SetPrompts(platform::IPrompts* pPrompts) { m_pPrompts = pPrompts; }
    void SetSettings(const platform::ISettingsStore* pSettings) { m_pSettings = pSettings; }

    // Opens the device configured for "COM<nPort>" at nBaud, 8N1.
    bool Open(uint16_t nPort, uint32_t nBaud, bool bNoThread);
    // Opens an explicit device path; nPort is still reported in WM_COMM_RXCHAR.
    bool OpenPath(const std::string& strPath, uint16_t nPort, uint32_t nBaud, bool bNoThread);
    bool SetLineFormat(uint32_t nBaud, uint8_t nByteSize, Parity parity, StopBits stopBits);
    size_t Send(const uint8_t* pData, size_t nLength);
    void Close();

    bool IsOpen() const { return m_bOpen.load() == 1; }
    // The receive thread's "handle": true from its start until it has ended by itself.
    bool IsThreadRunning() const { return m_bThreadAlive.load(); }
    uint16_t PortNumber() const { return m_nPortNumber; }
    const std::string& PortName() const { return m_strPortName; }
    const std::string& DevicePath() const { return m_strDevicePath; }
    // Why the last Open could not open the device (problem None after a
    // success, or when the line refused its settings).
    const platform::PortOpenFailure& OpenFailure() const { return m_openFailure; }

    int32_t Count() const { return m_QueueRead.Count(); }
    bool Pop(uint8_t& by) { return m_QueueRead.Pop(by); }

    // The receive thread's rule for one read: push all n bytes or drop the
    // whole chunk and report. Public so the rule can be exercised directly.
    void DeliverChunk(const uint8_t* pData, int32_t n);
    // The receive thread's rule after its reads: wake the UI thread.
    void PostAfterReads();
    // A wake-up for bytes already queued (one that was held back).
    void PostWakeUp();
    // A notice for the UI thread (from the receive thread, or again after a hold).
    void PostNotice(SerialNotice notice);

    // Written by the UI thread, read by the receive thread.
    std::atomic<int32_t> m_bBlockMode{0};

    static std::string NoticeText(SerialNotice notice, const std::string& strPortName);

  private:
    static void ThreadWatchComm(CSerialPort* pPort);
    bool ConfigureLine(uint32_t nBaud, uint8_t nByteSize, Parity parity, StopBits stopBits);
    void ReleaseHandles();
    void DrainOutput(int fd);
    void ShowMessage(const std::string& text);

    int m_hPort = -1;
    std::string m_strPortName;
    std::string m_strDevicePath;
    std::atomic<int32_t> m_bOpen{0};
    int m_hWake = -1;  // eventfd: Close() signals it to release the receive thread's wait
    std::thread m_thread;
    std::atomic<bool> m_bThreadAlive{false};
    uint16_t m_nPortNumber = 0;
    platform::PortOpenFailure m_openFailure;

    platform::IMessageSink* m_pSink = nullptr;
    platform::IPrompts* m_pPrompts = nullptr;
    const platform::ISettingsStore* m_pSettings = nullptr;

  public:
    CByteQueue m_QueueRead;
};

}  // namespace oriel
