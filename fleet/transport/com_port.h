#pragma once
// The modem side of a handset: the port it presents once its USB connection
// is switched over, opened from a settings string such as
// "/dev/ttyACM3:115200,N,8,0" (the part before the colon is the device path;
// the "\\.\COM7:..." form parses the same way). Failures are return values.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace fleet {

// Parity codes as the settings string gives them: N 0, O 1, E 2, M 3, other 4.
enum ComParity : int {
    kParityNone = 0,
    kParityOdd = 1,
    kParityEven = 2,
    kParityMark = 3,
    kParitySpace = 4
};

struct ComSettings {
    std::string strDevice;  // before the first ':' (a path keeps its case)
    uint32_t nPort = 0;
    uint32_t nBaud = 0;
    int nParity = kParityNone;
    int nDataBits = 0;
    int nStopBits = 0;  // 0 one stop bit, 1 one and a half, 2 two
};

// Parses "<device>:<baud>,<parity>,<data bits>,<stop bits>" without regard to
// letter case; false when a field is missing or not a number. The port number
// is the device name less its leading '\', '.', 'C', 'O', 'M' characters; for
// a path, the number its name ends in.
bool ParseComSettings(const std::string& strSettings, ComSettings& settings);

constexpr size_t kComReceiveBufferSize = 5000;
// Opening lets the line settle this long before the first frame.
constexpr std::chrono::milliseconds kComSettleTime{500};
// A write the line takes nothing of for this long fails (the write time-out).
constexpr std::chrono::milliseconds kComWriteTimeout{1000};

class ComPort {
  public:
    ComPort() = default;
    ~ComPort() { Close(); }
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    // Allocates the receive buffer; 1 on success.
    int Initialise();
    // How long Open lets the line settle (kComSettleTime unless set).
    void SetSettleTime(std::chrono::milliseconds settle) { m_settle = settle; }
    // 1 when the device is open and set up, 0 otherwise (nothing kept open).
    int Open(const std::string& strSettings);
    bool IsOpen() const { return m_hPort >= 0; }
    // 1 when an open port was closed, 0 when none was open.
    int Close();

    // 1 only when every byte was taken; 0 when the line stalled or failed.
    int Write(const uint8_t* pData, size_t nLength);
    // What is queued now, up to the receive buffer and nCapacity; 0 at once
    // when nothing is, which ends a drain loop.
    size_t ReadInto(uint8_t* pDest, size_t nCapacity);
    // Waits until something is queued for reading: 1 when it is, 0 when the
    // timeout passed first, -1 when the port is closed or the line is gone.
    int WaitReceive(std::chrono::milliseconds timeout);

    uint32_t BaudRate() const { return m_nBaud; }
    uint32_t PortNumber() const { return m_nPort; }
    const std::string& DeviceName() const { return m_strDevice; }
    // errno of the last Open that failed on the device itself (ENOTTY: no
    // terminal, EWOULDBLOCK: held), 0 after a success or a refused setting.
    int OpenError() const { return m_nOpenError; }

  private:
    uint32_t m_nBaud = 0;
    uint32_t m_nPort = 0;
    int m_hPort = -1;
    std::string m_strDevice;
    int m_nOpenError = 0;
    std::chrono::milliseconds m_settle = kComSettleTime;
    std::unique_ptr<uint8_t[]> m_receive;
};

}  // namespace fleet
