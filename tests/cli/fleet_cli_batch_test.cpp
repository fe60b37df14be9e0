// fleet_cli as a production line runs it: the program packed with EBOOT and
// the PDA image into one line tool, serving eight handsets of
// fleet_handset_sim at once, each program its own process. Afterwards every
// handset holds the images byte for byte; the slot lines, the summary, the
// JSON objects and the slot logs say what happened; one bad handset fails
// its slot and no other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/fleet/wire_sequence.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kHandsets = 8;
constexpr size_t kEbootSize = 196608;   // profile 2's EBOOT length: eboot.bin holds all of it
constexpr size_t kPhoneSize = 1400000;  // not a whole number of 1024-byte blocks
constexpr size_t kCodeArea = 0xE4000;   // the phone image's area of profile 2
constexpr size_t kModemBlock = 1024;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string text = ReadText(path);
    return {text.begin(), text.end()};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Serial(int nHandset) {
    return "FSIM000" + std::to_string(nHandset);
}

std::string DeviceName(int nHandset) {
    return "usb-Sim_Handset_" + Serial(nHandset);
}

using testsupport::CChildProcess;

// A program run to its end.
struct Ran {
    int nStatus = -1;
    std::string out;
    std::string err;
};

// One summary row: "1     usb-Sim_Handset_FSIM0001         finished     Job Done.Launched!!".
struct SummaryRow {
    std::string device;
    std::string state;
    std::string last;
};

// The rows after the summary's heading, by slot.
std::map<int, SummaryRow> SummaryRows(const std::string& text) {
    std::map<int, SummaryRow> rows;
    bool bInTable = false;
    for (const std::string& line : Lines(text)) {
        if (line.rfind("slot  device", 0) == 0) {
            bInTable = true;
            continue;
        }
        if (!bInTable || line.rfind("finished ", 0) == 0) {
            continue;
        }
        std::istringstream in(line);
        int nSlot = 0;
        SummaryRow row;
        if (in >> nSlot >> row.device >> row.state) {
            std::getline(in >> std::ws, row.last);
            rows[nSlot] = row;
        }
    }
    return rows;
}

// Reads a line piece by piece: each call moves past what it read, or is
// false when that is not next.
class CCursor {
  public:
    explicit CCursor(const std::string& text) : m_text(text) {}
    bool Literal(const std::string& s) {
        if (m_text.compare(m_pos, s.size(), s) != 0) {
            return false;
        }
        m_pos += s.size();
        return true;
    }
    bool Number(int& n) {
        const size_t start = m_pos;
        while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9') {
            ++m_pos;
        }
        if (m_pos == start || m_pos - start > 9) {
            return false;
        }
        n = std::stoi(m_text.substr(start, m_pos - start));
        return true;
    }
    // A JSON string literal; its escapes are kept as written.
    bool String(std::string& s) {
        if (!Literal("\"")) {
            return false;
        }
        s.clear();
        while (m_pos < m_text.size() && m_text[m_pos] != '"') {
            if (static_cast<unsigned char>(m_text[m_pos]) < 0x20) {
                return false;
            }
            if (m_text[m_pos] == '\\' && ++m_pos == m_text.size()) {
                return false;
            }
            s += m_text[m_pos++];
        }
        return Literal("\"");
    }
    bool AtEnd() const { return m_pos == m_text.size(); }

  private:
    const std::string& m_text;
    size_t m_pos = 0;
};

// One event as --json writes it, a JSON object on a line of its own.
struct JsonEvent {
    int nSlot = 0;
    int nCode = 0;
    std::string text;
    std::string state;
    std::string device;
};

bool ParseJsonEvent(const std::string& line, JsonEvent& e) {
    CCursor c(line);
    return c.Literal("{\"slot\":") && c.Number(e.nSlot) && c.Literal(",\"code\":") &&
           c.Number(e.nCode) && c.Literal(",\"text\":") && c.String(e.text) &&
           c.Literal(",\"state\":") && c.String(e.state) && c.Literal(",\"device\":") &&
           c.String(e.device) && c.Literal("}") && c.AtEnd() && e.nSlot >= 1 &&
           e.nSlot <= kHandsets;
}

// "slotN_DEVICE_YYYYMMDD-HHMMSS.log": the slot and the device.
bool ParseLogName(const std::string& name, int& nSlot, std::string& device) {
    const size_t first = name.find('_');
    const size_t last = name.rfind('_');
    if (first == std::string::npos || last <= first + 1) {
        return false;
    }
    device = name.substr(first + 1, last - first - 1);
    const std::string slot = name.substr(0, first);
    const std::string stamp = name.substr(last + 1);
    CCursor c(slot);
    CCursor s(stamp);
    int date = 0;
    int time = 0;
    return c.Literal("slot") && c.Number(nSlot) && c.AtEnd() && nSlot >= 1 && nSlot <= kHandsets &&
           s.Number(date) && s.Literal("-") && s.Number(time) && s.Literal(".log") && s.AtEnd() &&
           stamp.size() == 19;
}

// A line "PHONE-COM<n> detected" in a slot log.
bool HasPhoneComLine(const std::string& log) {
    for (const std::string& line : Lines(log)) {
        CCursor c(line);
        int n = 0;
        if (c.Literal("PHONE-COM") && c.Number(n) && c.Literal(" detected\r") && c.AtEnd()) {
            return true;
        }
    }
    return false;
}

class FleetCliBatch : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "fleet_cli_batch.XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        m_dir = templ;
        // The images and the line tool, made as the line makes them.
        ASSERT_EQ(Run({FLEET_MKIMG_PATH, "b000ff", "--out", File("pda.bin"), "--records", "4",
                       "--seed", "3"})
                      .nStatus,
                  0);
        ASSERT_EQ(Run({FLEET_MKIMG_PATH, "flat", "--out", File("eboot.nb0"), "--size",
                       std::to_string(kEbootSize), "--seed", "4"})
                      .nStatus,
                  0);
        ASSERT_EQ(Run({FLEET_MKIMG_PATH, "flat", "--out", File("phone.bin"), "--size",
                       std::to_string(kPhoneSize), "--seed", "5"})
                      .nStatus,
                  0);
        const Ran pack =
            Run({FLEET_PACK_PATH, "--program", FLEET_CLI_PATH, "--eboot", File("eboot.nb0"),
                 "--pda", File("pda.bin"), "--profile", "2", "--out", File("line_tool")});
        ASSERT_EQ(pack.nStatus, 0) << pack.err;
        m_pda = ReadBytes(File("pda.bin"));
        m_eboot = ReadBytes(File("eboot.nb0"));
        m_phone = ReadBytes(File("phone.bin"));
        ASSERT_EQ(m_eboot.size(), kEbootSize);
        ASSERT_EQ(m_phone.size(), kPhoneSize);
        // Where the PDA image sits in the line tool: the trailer's fourth word.
        const std::vector<uint8_t> tool = ReadBytes(File("line_tool"));
        ASSERT_GT(tool.size(), 40u);
        const uint8_t* t = tool.data() + tool.size() - 40 + 12;
        m_nPdaOffset = uint32_t{t[0]} | (uint32_t{t[1]} << 8) | (uint32_t{t[2]} << 16) |
                       (uint32_t{t[3]} << 24);
    }
    void TearDown() override {
        m_pSim.reset();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    std::string File(const std::string& name) const { return m_dir + "/" + name; }

    Ran Run(const std::vector<std::string>& argv, std::chrono::seconds timeout = 60s) {
        const std::string out = File("run.out");
        const std::string err = File("run.err");
        Ran ran;
        {
            CChildProcess child(argv, out, err);
            EXPECT_TRUE(child.Started()) << argv[0];
            ran.nStatus = child.Wait(timeout).nStatus;
        }
        ran.out = ReadText(out);
        ran.err = ReadText(err);
        return ran;
    }

    // Eight handsets in dev/, stores in store/; true once they are published.
    bool StartSim(const std::vector<std::string>& faults = {}) {
        std::vector<std::string> argv = {
            FLEET_HANDSET_SIM_PATH, "--dir", File("dev"), "--count", "8", "--store", File("store")};
        argv.insert(argv.end(), faults.begin(), faults.end());
        m_pSim = std::make_unique<CChildProcess>(argv, File("sim.out"), File("sim.err"));
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < end) {
            if (Contains(Lines(ReadText(File("sim.out"))), "ready 8")) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    // Stops the simulator: its stores are complete and its links gone.
    void StopSim() {
        ASSERT_EQ(m_pSim->Stop(10s).nStatus, 0) << ReadText(File("sim.err"));
        m_pSim.reset();
        EXPECT_TRUE(fs::is_empty(File("dev"))) << "links left behind";
    }

    // The line tool on the eight handsets, with its job's options.
    Ran RunLine(std::vector<std::string> job) {
        std::vector<std::string> argv = {
            File("line_tool"), "--watch",   File("dev"), "--slots",   "8",         "--count", "8",
            "--container",     "--timeout", "200",       "--log-dir", File("logs")};
        for (const std::string& a : job) {
            argv.push_back(a);
        }
        return Run(argv, 240s);
    }

    std::string Store(int nHandset, const std::string& name) const {
        return File("store/" + Serial(nHandset) + "/" + name);
    }

    // EBOOT, the PDA image and, with the phone phase, the code area as
    // handset nHandset holds them.
    void ExpectImagesIn(int nHandset, bool bPhone) const {
        SCOPED_TRACE("handset " + std::to_string(nHandset));
        EXPECT_EQ(ReadBytes(Store(nHandset, "eboot.bin")), m_eboot);
        EXPECT_EQ(ReadBytes(Store(nHandset, "pda_flash.bin")), m_pda);
        if (!bPhone) {
            EXPECT_FALSE(fs::exists(Store(nHandset, "modem/000E4000.bin")));
            return;
        }
        // From the area's start to the image's end in whole blocks, 0xFF past it.
        const size_t end = (kPhoneSize + kModemBlock - 1) / kModemBlock * kModemBlock;
        std::vector<uint8_t> area(end - kCodeArea, 0xFF);
        std::copy(m_phone.begin() + kCodeArea, m_phone.end(), area.begin());
        EXPECT_EQ(ReadBytes(Store(nHandset, "modem/000E4000.bin")), area);
    }

    // Everything handset nHandset received, as the simulator kept it once stopped.
    std::vector<std::string> Received(int nHandset) const {
        return Lines(ReadText(Store(nHandset, "received.txt")));
    }
    // What a handset of the line tool's job must have received.
    std::vector<std::string> Wire(bool bPhone, bool bLaunch) const {
        fleettest::WireJob job;
        job.pda = m_pda;
        job.nPdaOffset = m_nPdaOffset;
        job.nPhoneLength = bPhone ? kPhoneSize : 0;
        job.bLaunch = bLaunch;
        return fleettest::ContainerJobWire(job);
    }

    std::string m_dir;
    uint32_t m_nPdaOffset = 0;
    std::unique_ptr<CChildProcess> m_pSim;
    std::vector<uint8_t> m_pda;
    std::vector<uint8_t> m_eboot;
    std::vector<uint8_t> m_phone;
};

TEST_F(FleetCliBatch, EightHandsetsGetEbootPdaAndPhoneFromTheLineTool) {
    ASSERT_TRUE(StartSim());
    const Ran ran = RunLine({"--phone-image", File("phone.bin"), "--phone"});
    StopSim();
    ASSERT_EQ(ran.nStatus, 0) << ran.out << ran.err;

    const std::vector<std::string> out = Lines(ran.out);
    EXPECT_TRUE(Contains(out, "finished 8, failed 0 of 8")) << ran.out;
    const std::map<int, SummaryRow> rows = SummaryRows(ran.out);
    ASSERT_EQ(rows.size(), static_cast<size_t>(kHandsets)) << ran.out;
    std::set<std::string> devices;
    for (const auto& [slot, row] : rows) {
        SCOPED_TRACE("slot " + std::to_string(slot));
        EXPECT_EQ(row.state, "finished");
        EXPECT_EQ(row.last, "Job Done.Launched!!");
        EXPECT_TRUE(Contains(out, "slot " + std::to_string(slot) + ": Switching USB to PHONE..."));
        EXPECT_TRUE(Contains(out, "slot " + std::to_string(slot) + ": Download complete..."));
        EXPECT_TRUE(Contains(out, "slot " + std::to_string(slot) + ": Job Done.Launched!!"));
        devices.insert(row.device);
    }
    for (int h = 1; h <= kHandsets; ++h) {
        EXPECT_EQ(devices.count(DeviceName(h)), 1u) << "no slot served " << DeviceName(h);
        ExpectImagesIn(h, true);
        EXPECT_EQ(Received(h), Wire(true, true)) << "handset " << h;
    }

    // One log per slot, named after the slot and the handset it served.
    std::set<int> logged;
    for (const fs::directory_entry& e : fs::directory_iterator(File("logs"))) {
        const std::string file = e.path().filename().string();
        int slot = 0;
        std::string device;
        ASSERT_TRUE(ParseLogName(file, slot, device)) << file;
        logged.insert(slot);
        EXPECT_EQ(device, rows.at(slot).device) << file;
        const std::string log = ReadText(e.path().string());
        EXPECT_NE(log.find("Device name:" + device + "\r\n"), std::string::npos) << file;
        EXPECT_TRUE(HasPhoneComLine(log)) << file << ":\n" << log;
        EXPECT_NE(log.find("PHONE-Writing image finished.\r\n"), std::string::npos) << file;
    }
    EXPECT_EQ(logged.size(), static_cast<size_t>(kHandsets));
}

TEST_F(FleetCliBatch, JsonModeWritesOnlyJsonObjectsOnStdout) {
    ASSERT_TRUE(StartSim());
    const Ran ran = RunLine({"--json"});
    StopSim();
    ASSERT_EQ(ran.nStatus, 0) << ran.out << ran.err;

    const std::vector<std::string> out = Lines(ran.out);
    ASSERT_FALSE(out.empty());
    std::set<int> finished;
    std::map<int, std::string> jobDone;  // slot -> device, from code 218
    // Start events (code 0) are 400 ms apart; the first slot's 200 comes
    // between them, not after the last start.
    int nFirstStarted = 0;
    size_t nFirst200 = 0, nLastStart = 0;
    std::vector<std::string> logLines;
    for (size_t i = 0; i < out.size(); ++i) {
        const std::string& line = out[i];
        // A line of the shared log: {"log":"..."}.
        CCursor log(line);
        std::string text;
        if (log.Literal("{\"log\":") && log.String(text) && log.Literal("}") && log.AtEnd()) {
            logLines.push_back(text);
            continue;
        }
        JsonEvent e;
        ASSERT_TRUE(ParseJsonEvent(line, e)) << "not an event or log object: " << line;
        if (e.nCode == 0) {
            nFirstStarted = nFirstStarted == 0 ? e.nSlot : nFirstStarted;
            nLastStart = i;
        }
        if (e.nCode == 200 && e.nSlot == nFirstStarted && nFirst200 == 0) {
            nFirst200 = i;
        }
        if (e.state == "finished") {
            finished.insert(e.nSlot);
        }
        if (e.nCode == 218) {
            EXPECT_EQ(e.state, "finished") << line;
            EXPECT_EQ(e.text, "Job Done.Launched!!") << line;
            EXPECT_TRUE(jobDone.emplace(e.nSlot, e.device).second) << "twice: " << line;
        }
    }
    EXPECT_EQ(finished.size(), static_cast<size_t>(kHandsets));
    for (int slot = 1; slot <= kHandsets; ++slot) {
        const std::string done = "PDA " + std::to_string(slot) + " finished downloading!";
        EXPECT_EQ(std::count(logLines.begin(), logLines.end(), done), 1) << done;
    }
    EXPECT_GT(nFirst200, 0u);
    EXPECT_LT(nFirst200, nLastStart) << "events were held back while slots were started";
    std::set<std::string> devices;
    for (const auto& [slot, device] : jobDone) {
        devices.insert(device);
    }
    EXPECT_EQ(devices.size(), static_cast<size_t>(kHandsets)) << "each handset in one slot";
    // The summary is not an event: it goes to stderr.
    EXPECT_TRUE(Contains(Lines(ran.err), "finished 8, failed 0 of 8")) << ran.err;
    for (int h = 1; h <= kHandsets; ++h) {
        ExpectImagesIn(h, false);
        EXPECT_EQ(Received(h), Wire(false, true)) << "handset " << h;
    }
}

// Moves every link of the handset from one folder to the other: a handset
// plugged in or out as udev shows it.
void MoveLinks(int nHandset, const std::string& from, const std::string& to) {
    for (const fs::directory_entry& e : fs::directory_iterator(from)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(DeviceName(nHandset) + "-", 0) == 0) {
            fs::rename(e.path(), to + "/" + name);
        }
    }
}

size_t CountContaining(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

TEST_F(FleetCliBatch, TwoSlotsServeFourHandsetsAsEachEndedOneIsUnplugged) {
    // Handsets 3 to 8 are not plugged in yet.
    ASSERT_TRUE(StartSim());
    const std::string dev = File("dev");
    const std::string aside = File("aside");
    fs::create_directory(aside);
    for (int h = 3; h <= kHandsets; ++h) {
        MoveLinks(h, dev, aside);
    }
    CChildProcess line({File("line_tool"), "--watch", dev, "--slots", "2", "--count", "4",
                        "--container", "--multi", "--timeout", "200", "--json"},
                       File("line.out"), File("line.err"));
    ASSERT_TRUE(line.Started());
    auto waitFor = [&](const std::string& part, size_t n) {
        const auto end = std::chrono::steady_clock::now() + 120s;
        while (CountContaining(ReadText(File("line.out")), part) < n) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    };
    ASSERT_TRUE(waitFor("\"code\":218,", 2)) << ReadText(File("line.out"));
    // Both slots hold an ended handset: the next ones wait for a free slot.
    MoveLinks(3, aside, dev);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(CountContaining(ReadText(File("line.out")), "\"code\":0,"), 2u)
        << "a handset was taken with no slot free";
    MoveLinks(1, dev, aside);
    MoveLinks(2, dev, aside);
    ASSERT_TRUE(waitFor("\"state\":\"empty\"", 2)) << ReadText(File("line.out"));
    MoveLinks(4, aside, dev);
    // Handset 3 arrived while no slot was free: it is served once one is.
    MoveLinks(3, dev, aside);
    MoveLinks(3, aside, dev);
    EXPECT_EQ(line.Wait(120s).nStatus, 0)
        << ReadText(File("line.out")) << ReadText(File("line.err"));

    const std::string err = ReadText(File("line.err"));
    EXPECT_TRUE(Contains(Lines(err), "finished 4, failed 0 of 4")) << err;
    for (int h = 1; h <= 4; ++h) {
        ExpectImagesIn(h, false);
        EXPECT_NE(err.find(DeviceName(h) + " "), std::string::npos) << "summary row of " << h;
    }
    for (int h = 5; h <= kHandsets; ++h) {
        EXPECT_NE(ReadBytes(Store(h, "pda_flash.bin")), m_pda) << "handset " << h << " was served";
        MoveLinks(h, aside, dev);
    }
    StopSim();
    for (int h = 1; h <= 4; ++h) {
        EXPECT_EQ(Received(h), Wire(false, false)) << "handset " << h;
    }
}

TEST_F(FleetCliBatch, AHandsetUnpluggedMidStreamFailsItsSlotAlone) {
    // B000FF streaming reads no per-block acknowledgements, so the fault is
    // the handset vanishing in the middle of its PDA image.
    ASSERT_TRUE(StartSim({"--unplug", "stream:20@3"}));
    const Ran ran = RunLine({});
    StopSim();
    EXPECT_EQ(ran.nStatus, 1) << ran.out << ran.err;

    EXPECT_TRUE(Contains(Lines(ran.out), "finished 7, failed 1 of 8")) << ran.out;
    const std::map<int, SummaryRow> rows = SummaryRows(ran.out);
    ASSERT_EQ(rows.size(), static_cast<size_t>(kHandsets)) << ran.out;
    int nFailed = 0;
    for (const auto& [slot, row] : rows) {
        SCOPED_TRACE("slot " + std::to_string(slot));
        if (row.device == DeviceName(3)) {
            ++nFailed;
            EXPECT_EQ(row.state, "failed");
            EXPECT_EQ(row.last, "Writing failed...");
        } else {
            EXPECT_EQ(row.state, "finished");
            EXPECT_EQ(row.last, "Job Done.Launched!!");
        }
    }
    EXPECT_EQ(nFailed, 1);
    for (int h = 1; h <= kHandsets; ++h) {
        if (h != 3) {
            ExpectImagesIn(h, false);
            EXPECT_EQ(Received(h), Wire(false, true)) << "handset " << h;
        }
    }
    // Handset 3 went at its 21st stream packet: what it received ends there.
    std::vector<std::string> wire = Wire(false, true);
    wire.resize(wire.size() - 1);
    wire.back() = "pda stream x21";
    EXPECT_EQ(Received(3), wire);
    EXPECT_NE(ReadBytes(Store(3, "pda_flash.bin")), m_pda);
}

}  // namespace
