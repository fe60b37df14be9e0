#pragma once
// COM port numbers and the device paths they stand for on this machine.

#include <cstdint>
#include <string>

namespace platform {
class ISettingsStore;
}

namespace oriel {

constexpr uint16_t kMaxPortNumber = 20;

// "COM9" below 10, "\\.\COM10" from 10 on: the name operators see in messages.
std::string BuildPortName(uint16_t nPort);

// "COM10": the settings key under group "Ports" that maps a number to a device path.
std::string PortSettingsKey(uint16_t nPort);

// COM1-4 -> /dev/ttyS0-3, COM5-12 -> /dev/ttyUSB0-7, COM13-20 -> /dev/ttyACM0-7;
// empty for numbers outside 1..20.
std::string DefaultPortPath(uint16_t nPort);

// The configured path for a port number, falling back to the default.
std::string ResolvePortPath(const platform::ISettingsStore* pSettings, uint16_t nPort);

}  // namespace oriel
