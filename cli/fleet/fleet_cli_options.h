#pragma once
// The fleet command line: where handsets appear, how many to serve, which
// images, and how to report.

#include <string>
#include <vector>

namespace fleetcli {

struct FleetCliOptions {
    std::string strWatch;           // the device-link folder
    int nSlots = 8;                 // slots in use (1..8)
    int nCount = 0;                 // handsets to serve; 0 = as many as slots
    bool bMulti = false;            // "Multi Download": no launch at the end
    bool bPhone = false;            // write the modem side too
    bool bPhoneInit = false;        // erase the EFS area
    bool bPhoneBootUpdate = false;  // phone mode 3
    std::string strEboot, strPda, strPhone, strImg;
    bool bContainer = false;
    std::string strContainerFile;  // empty: this program's own file
    int nPlatform = 2;             // platform list entry (1..4)
    int nTimeoutSeconds = 1800;
    bool bJson = false;
    std::string strLogDir;
    std::string strHistory;  // --history: where jobs are recorded (default: the settings')
    std::string strPdaPattern = "usb-*-if01*";
    std::string strModemPattern = "usb-*-if00*";
    std::string strVendorId;  // normalised; empty: any vendor
    bool bHelp = false;
    bool bListPorts = false;  // --list-ports: show the device folder instead of serving
};

bool ParseFleetCliOptions(const std::vector<std::string>& args, FleetCliOptions& out,
                          std::string& error);
const char* FleetCliUsage();

// A JSON string literal of a text (quotes, backslashes and control bytes escaped).
std::string JsonString(const std::string& text);

}  // namespace fleetcli
