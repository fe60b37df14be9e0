#pragma once
// One fleet run on the standard-library loop: arm detection on the folder,
// serve handsets as they arrive with the same board, detection and launch as
// the window, report every slot event, end when the count is reached.

#include <atomic>
#include <cstdio>
#include <string>

#include "cli/fleet/fleet_cli_options.h"
#include "fleet/transport/slot_context.h"

namespace history {
class CHistoryRecorder;
}

namespace fleetcli {

class CFleetCliRunner {
  public:
    CFleetCliRunner(const FleetCliOptions& options, std::FILE* out, std::FILE* err);
    void SetWorkers(fleet::SlotWorker container, fleet::SlotWorker files);
    // The program file whose last 4 bytes name the profile when no
    // --container FILE is given (default: this program; tests name another).
    void SetProgramPath(std::string strPath) { m_strProgramPath = std::move(strPath); }
    int Run();
    void Interrupt() { m_bInterrupted = true; }
    // Where the slot jobs are recorded (nullptr: nowhere), under which station.
    void SetHistory(history::CHistoryRecorder* pRecorder, std::string strStation) {
        m_pRecorder = pRecorder;
        m_strStation = std::move(strStation);
    }

  private:
    const FleetCliOptions& m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    fleet::SlotWorker m_container = nullptr;
    fleet::SlotWorker m_files = nullptr;
    std::string m_strProgramPath;
    std::atomic<bool> m_bInterrupted{false};
    history::CHistoryRecorder* m_pRecorder = nullptr;
    std::string m_strStation;
};

}  // namespace fleetcli
