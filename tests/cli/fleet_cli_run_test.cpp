// fleet_cli's run in this process against simulated handsets, with the
// protocol's pauses shortened: one slot's whole job in container mode and in
// files mode, compared command by command with the wire rules; one slot
// serving handset after handset as each leaves; and a quit while eight
// slots are busy, which must end every worker promptly (this file also runs
// under ThreadSanitizer).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/fleet/fleet_cli_options.h"
#include "cli/fleet/fleet_cli_runner.h"
#include "fleet/images/combined_image.h"
#include "fleet/pda/slot_pause.h"
#include "fleet/phone/phone_phase.h"
#include "fleet/tools/mkimg.h"
#include "fleet/tools/pack.h"
#include "fleet/ui/workers.h"
#include "sim/fleet/fleet_handset.h"
#include "tests/fleet/sim_job.h"
#include "tests/fleet/temp_dir.h"
#include "tests/fleet/wire_sequence.h"

namespace {

using namespace std::chrono_literals;
using fleettest::CTempDir;

constexpr uint32_t kJuniperRow = 2;
constexpr size_t kPhoneLength = 1300 * 1024 + 300;  // not a whole number of blocks
constexpr uint32_t kCodeArea = 0xE4000;

std::string ReadAll(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        text.append(buf, n);
    }
    return text;
}

struct Ran {
    int nStatus = -1;
    std::string out;
    std::string err;
    std::chrono::milliseconds took{0};
};

class FleetCliRun : public ::testing::Test {
  protected:
    void SetUp() override {
        fleet::SetPauseScale(0.01);
        ASSERT_EQ(mkdir(Dev().c_str(), 0755), 0);
        fleet::DetectionConfig detection;
        detection.pdaClass.strFolder = Dev();
        fleet::UseDetectionForModemPorts(detection);
        m_eboot = fleet::PatternBytes(0x30000, 1);
        m_pda = fleet::BuildB000ffImage(3, 5000, 31);
        m_phone = fleet::PatternBytes(kPhoneLength, 41);
    }
    void TearDown() override {
        m_handsets.clear();
        fleet::SetPhoneSettings({});
        fleet::SetPauseScale(1.0);
    }

    std::string Dev() const { return m_dir.File("dev"); }

    // A handset plugged in (its PDA link appears in dev/).
    fleetsim::CSimHandset& Plug(int nNumber, fleetsim::HandsetSettings settings = Quick(),
                                std::vector<fleetsim::Fault> faults = {}) {
        fleetsim::CSimHandset::Config c;
        c.nNumber = nNumber;
        c.strSerial = fleetsim::HandsetSerial("FSIM", nNumber);
        c.strDir = Dev();
        c.settings = settings;
        c.faults = std::move(faults);
        m_handsets.push_back(std::make_unique<fleetsim::CSimHandset>(c));
        std::string error;
        EXPECT_TRUE(m_handsets.back()->Start(error)) << error;
        return *m_handsets.back();
    }
    static fleetsim::HandsetSettings Quick() { return fleettest::QuickHandset(); }

    // The program packed with EBOOT and the PDA image for profile row 2.
    std::string Packed() {
        return fleettest::PackTestProgram(m_dir, m_eboot, m_pda, "line_tool", kJuniperRow,
                                          m_nPdaOffset);
    }

    // fleet_cli with these arguments (after --watch dev), until it ends;
    // fnWhile runs meanwhile on this thread and may interrupt it.
    Ran Run(std::vector<std::string> args,
            const std::function<void(fleetcli::CFleetCliRunner&)>& fnWhile = {}) {
        args.insert(args.begin(), {"--watch", Dev()});
        fleetcli::FleetCliOptions options;
        std::string error;
        EXPECT_TRUE(fleetcli::ParseFleetCliOptions(args, options, error)) << error;
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        Ran ran;
        {
            fleetcli::CFleetCliRunner runner(options, out, err);
            runner.SetWorkers(fleet::ContainerWorker(), fleet::FilesWorker());
            // Unpacked programs here name profile row 2 in their last 4 bytes.
            std::vector<uint8_t> program(64, 0);
            program[60] = kJuniperRow;
            runner.SetProgramPath(m_dir.Write("program_files", program));
            std::atomic<bool> bDone{false};
            std::thread run([&] {
                ran.nStatus = runner.Run();
                bDone = true;
            });
            if (fnWhile) {
                fnWhile(runner);
            }
            const auto started = std::chrono::steady_clock::now();
            run.join();
            ran.took = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - started);
        }
        ran.out = ReadAll(out);
        ran.err = ReadAll(err);
        std::fclose(out);
        std::fclose(err);
        return ran;
    }

    fleettest::WireJob Job(bool bPhone, bool bLaunch) const {
        fleettest::WireJob job;
        job.pda = m_pda;
        job.nPdaOffset = m_nPdaOffset;
        job.nPhoneLength = bPhone ? m_phone.size() : 0;
        job.bLaunch = bLaunch;
        return job;
    }
    std::vector<uint8_t> CodeArea() const {
        const size_t end = (m_phone.size() + 1023) / 1024 * 1024;
        std::vector<uint8_t> area(end - kCodeArea, 0xFF);
        std::copy(m_phone.begin() + kCodeArea, m_phone.end(), area.begin());
        return area;
    }

    CTempDir m_dir;
    std::vector<std::unique_ptr<fleetsim::CSimHandset>> m_handsets;
    std::vector<uint8_t> m_eboot;
    std::vector<uint8_t> m_pda;
    std::vector<uint8_t> m_phone;
    uint32_t m_nPdaOffset = 0;
};

TEST_F(FleetCliRun, OneSlotContainerJobSendsExactlyTheWireRulesSequence) {
    fleetsim::CSimHandset& handset = Plug(1);
    const Ran ran = Run({"--slots", "1", "--container", Packed(), "--phone-image",
                         m_dir.Write("phone.bin", m_phone), "--timeout", "60"});
    ASSERT_EQ(ran.nStatus, 0) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("slot 1: Job Done.Launched!!"), std::string::npos) << ran.out;
    // The number of B000FF parts is a line of the shared log.
    EXPECT_NE(ran.out.find("\nPDA Image part:1\n"), std::string::npos) << ran.out;
    EXPECT_EQ(handset.Eboot(), m_eboot);
    EXPECT_EQ(handset.PdaImage(), m_pda);
    EXPECT_EQ(handset.ModemArea(kCodeArea), CodeArea());
    EXPECT_EQ(handset.Received(), fleettest::ContainerJobWire(Job(true, true)));
}

// Image files chosen for a program without a container: the files worker
// writes them (EBOOT to RAM, the region erased, sent and checked, the
// hand-over, the modem), instead of the container worker going straight to
// the modem and calling the job done.
TEST_F(FleetCliRun, ChosenImageFilesAreWrittenWhenTheProgramHasNoContainer) {
    // A PDA file must be longer than the signature header size (1435648).
    m_pda = fleet::BuildB000ffImage(11, 5000, 33);
    const std::string eboot = m_dir.Write("eboot.nb0", m_eboot);
    const std::string pda = m_dir.Write("pda.bin", m_pda);
    const std::string phone = m_dir.Write("phone.bin", m_phone);
    fleettest::WireJob job = Job(true, true);
    const std::vector<std::string> wire = fleettest::FilesJobWire(job);

    fleetsim::CSimHandset& first = Plug(1);
    Ran ran = Run({"--slots", "1", "--platform", "3", "--eboot", eboot, "--pda", pda, "--phone",
                   phone, "--timeout", "60"});
    ASSERT_EQ(ran.nStatus, 0) << ran.out << ran.err;
    EXPECT_EQ(first.Received(), wire);
    EXPECT_EQ(first.PdaImage(), m_pda);
    EXPECT_EQ(first.ModemArea(kCodeArea), CodeArea());
    EXPECT_TRUE(first.Eboot().empty()) << "files mode sends EBOOT with no programming command";
    first.Stop();

    // The same images as one ".img".
    fleet::CombinedImageParts parts;
    parts.strPlatform = "MTX-Juniper";
    parts.phone = m_phone;
    parts.eboot = m_eboot;
    parts.regions = {m_pda};
    const std::string img = m_dir.Write("all.img", fleet::BuildCombinedImage(parts));
    fleetsim::CSimHandset& second = Plug(2);
    ran = Run({"--slots", "1", "--platform", "3", "--img", img, "--phone", "--timeout", "60"});
    ASSERT_EQ(ran.nStatus, 0) << ran.out << ran.err;
    EXPECT_EQ(second.Received(), wire);
    EXPECT_EQ(second.PdaImage(), m_pda);
}

// After a phone job the handset leaves through its modem port: that frees
// the slot as the PDA link's going does, and the next handset is served.
TEST_F(FleetCliRun, OneSlotServesHandsetAfterHandsetAsEachLeavesItsModemPort) {
    fleetsim::CSimHandset& first = Plug(1);
    fleetsim::CSimHandset* pSecond = nullptr;
    const Ran ran = Run(
        {"--slots", "1", "--count", "2", "--container", Packed(), "--phone-image",
         m_dir.Write("phone.bin", m_phone), "--timeout", "30"},
        [&](fleetcli::CFleetCliRunner&) {
            const auto until = std::chrono::steady_clock::now() + 20s;
            // The worker has read the launch answer and closed the port.
            while (!first.Modem().bClosedAfterLaunch && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(5ms);
            }
            // At once: the modem link may go before its 218 is taken.
            first.Unplug();
            pSecond = &Plug(2);
        });
    ASSERT_EQ(ran.nStatus, 0) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("finished 2, failed 0 of 2"), std::string::npos) << ran.out;
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(pSecond->Received(), fleettest::ContainerJobWire(Job(true, true)));
    EXPECT_EQ(first.Received(), fleettest::ContainerJobWire(Job(true, true)));
}

// Handsets answering together are taken only as far as COUNT goes: the
// handshakes run side by side, the slots are filled one result at a time.
TEST_F(FleetCliRun, NoMoreHandsetsAreTakenThanTheCount) {
    Plug(1);
    Plug(2);
    Plug(3);
    const Ran ran =
        Run({"--slots", "2", "--count", "1", "--container", Packed(), "--timeout", "30"});
    ASSERT_EQ(ran.nStatus, 0) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("finished 1, failed 0 of 1"), std::string::npos) << ran.out;
    int nServed = 0;
    for (const auto& h : m_handsets) {
        nServed += h->Pda().nRamPackets > 0 ? 1 : 0;
    }
    EXPECT_EQ(nServed, 1);
}

// A slot's log is written once its worker has ended and every message it
// posted has been taken: the checksum text that follows code 213 is in it.
TEST_F(FleetCliRun, ASavedSlotLogHoldsTheLinesAfterTheLastCode) {
    m_pda = fleet::BuildB000ffImage(11, 5000, 33);
    fleetsim::CSimHandset& handset =
        Plug(1, Quick(), {{fleetsim::Fault::Kind::Wrong, fleetsim::Step::Checksum, 0, 0}});
    const std::string logs = m_dir.File("logs");
    const Ran ran =
        Run({"--slots", "1", "--platform", "3", "--eboot", m_dir.Write("eboot.nb0", m_eboot),
             "--pda", m_dir.Write("pda.bin", m_pda), "--timeout", "60", "--log-dir", logs});
    EXPECT_EQ(ran.nStatus, 1) << ran.out << ran.err;
    EXPECT_EQ(handset.FaultsFired(), 1);
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(logs)) {
        files.push_back(e.path().string());
    }
    ASSERT_EQ(files.size(), 1u);
    const std::vector<uint8_t> bytes = fleettest::ReadAll(files[0]);
    const std::string log(bytes.begin(), bytes.end());
    const size_t failed = log.find("PDA-Checksum failed!!\r\n");
    const size_t text = log.find("\tDevice-side Checksum: ");
    ASSERT_NE(failed, std::string::npos) << log;
    ASSERT_NE(text, std::string::npos) << log;
    EXPECT_LT(failed, text);
    EXPECT_NE(log.find("\t Downloader-side Checksum:", text), std::string::npos) << log;
}

// A device that never answers the handshake hides no handset plugged in
// after it, and the line tool says so.
TEST_F(FleetCliRun, ADeviceThatDoesNotAnswerIsSaidAndHidesNoOther) {
    std::vector<fleetsim::Fault> refusals;
    for (int i = 0; i < 7; ++i) {
        refusals.push_back({fleetsim::Fault::Kind::Wrong, fleetsim::Step::Okud, i, 0});
    }
    fleetsim::CSimHandset& silent = Plug(1, Quick(), refusals);
    fleetsim::CSimHandset* pLater = nullptr;
    const Ran ran =
        Run({"--slots", "1", "--container", Packed(), "--timeout", "30"},
            [&](fleetcli::CFleetCliRunner&) {
                const auto until = std::chrono::steady_clock::now() + 20s;
                while (silent.Pda().nHandshakes < 7 && std::chrono::steady_clock::now() < until) {
                    std::this_thread::sleep_for(5ms);
                }
                pLater = &Plug(2);
            });
    ASSERT_EQ(ran.nStatus, 0) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("PDA Device not found.\nusb-Sim_Handset_FSIM0001-if01 did not "
                           "answer; it is passed over until it is plugged in again.\n"),
              std::string::npos)
        << ran.out;
    EXPECT_EQ(silent.Pda().nHandshakes, 7);
    ASSERT_NE(pLater, nullptr);
    EXPECT_EQ(pLater->PdaImage(), m_pda);
    EXPECT_NE(ran.out.find("PDA 1 finished downloading!"), std::string::npos) << ran.out;
}

// Quitting while eight slots are busy (paced streams, modem ports that
// never come): every worker is stopped at once and ended before its ports
// are closed, instead of the program lingering in 20 s waits.
TEST_F(FleetCliRun, AnInterruptWithEightBusySlotsEndsEveryWorkerPromptly) {
    fleetsim::HandsetSettings settings = Quick();
    settings.nPaceBytesPerSecond = 100000;
    settings.bNoModem = true;
    for (int n = 1; n <= 8; ++n) {
        Plug(n, settings);
    }
    const auto started = std::chrono::steady_clock::now();
    const Ran ran = Run({"--container", Packed(), "--phone-image",
                         m_dir.Write("phone.bin", m_phone), "--timeout", "120"},
                        [&](fleetcli::CFleetCliRunner& runner) {
                            // Every slot sending its EBOOT or image.
                            const auto until = std::chrono::steady_clock::now() + 60s;
                            auto busy = [&] {
                                for (const auto& h : m_handsets) {
                                    if (h->Pda().nRamPackets == 0) {
                                        return false;
                                    }
                                }
                                return true;
                            };
                            while (!busy() && std::chrono::steady_clock::now() < until) {
                                std::this_thread::sleep_for(10ms);
                            }
                            EXPECT_TRUE(busy()) << "not every slot got busy";
                            runner.Interrupt();
                        });
    EXPECT_LT(ran.took, 3s) << "from the interrupt to the end of the run";
    EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
    EXPECT_NE(ran.out.find("finished 0, failed"), std::string::npos) << ran.out;
    // Each handset's port was let go once its worker had ended (the handset
    // notices within its 10 ms look).
    for (const auto& h : m_handsets) {
        const auto until = std::chrono::steady_clock::now() + 2s;
        while (h->PdaHostConnected() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_FALSE(h->PdaHostConnected()) << h->Serial();
        EXPECT_FALSE(h->ModemHostConnected()) << h->Serial();
        EXPECT_TRUE(h->Stream().nPackets == 0 || !h->Stream().bComplete) << h->Serial();
    }
}

}  // namespace
