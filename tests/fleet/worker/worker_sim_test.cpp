// Each worker's whole job against the simulated handset: what the handset
// holds afterwards equals the images byte for byte, the codes come in the
// order of the steps, and each fault of the handset ends the slot with its
// code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "fleet/images/container.h"
#include "fleet/images/image_checksum.h"
#include "fleet/worker/download_from_files.h"
#include "platform/format.h"
#include "tests/fleet/wire_sequence.h"
#include "tests/fleet/worker/worker_rig.h"

namespace {

using namespace fleettest;
using fleetsim::Fault;
using fleetsim::Step;

constexpr size_t kPhoneLength = 1300 * 1024 + 300;  // not a whole number of blocks
constexpr size_t kFlatData = 1024 * 1024;
constexpr size_t kFlatZeroTail = 5 * 1008 + 100;

JobImages B000ffJob() {
    JobImages images;
    images.pda = fleet::BuildB000ffImage(3, 5000, 31);
    images.phone = fleet::PatternBytes(kPhoneLength, 41);
    return images;
}

JobImages FlatJob() {
    JobImages images;
    images.pda = fleet::BuildFlatImage(kFlatData, kFlatZeroTail, 32);
    images.phone = fleet::PatternBytes(kPhoneLength, 42);
    return images;
}

// What a 1008-byte scan from `from` finds as the data end of kFlatData bytes.
int64_t FlatDataEnd(int64_t from) {
    return from + static_cast<int64_t>((kFlatData + 1007) / 1008 * 1008);
}

uint32_t LastPdaCode(const std::vector<Posted>& posted, uint32_t* pArgument = nullptr) {
    for (auto it = posted.rbegin(); it != posted.rend(); ++it) {
        if (it->nMsg == fleet::WM_PDA_PROGRESS) {
            if (pArgument != nullptr) {
                *pArgument = it->nArgument;
            }
            return it->nCode;
        }
    }
    return 0;
}

bool Has(const std::vector<Posted>& posted, const Posted& wanted) {
    return std::find(posted.begin(), posted.end(), wanted) != posted.end();
}

// Every modem area the profile row writes, as the simulator holds it.
void ExpectModemAreas(CWorkerRig& rig, const std::vector<uint8_t>& phone, bool bAllRows) {
    const std::vector<fleet::PlatformProfile> profiles = fleet::BuildPlatformProfiles();
    const auto& areas = profiles[CWorkerRig::kRow].phoneAreas;
    const size_t size = (phone.size() + 1023) / 1024 * 1024;
    for (size_t r = 0; r < (bAllRows ? areas.size() : 2); ++r) {
        const fleet::PhoneArea& area = areas[r];
        if (area.areaType == 8) {
            continue;  // EFS: erased, never written
        }
        const size_t length = area.writeLength == fleet::kPhoneWriteToEnd
                                  ? size - area.m_dwStartAddr
                                  : area.writeLength;
        EXPECT_EQ(rig.Handset().ModemArea(area.m_dwStartAddr),
                  PhoneSlice(phone, area.m_dwStartAddr, length))
            << "area " << area.areaType << " at " << area.m_dwStartAddr;
    }
}

TEST(ContainerWorkerTest, B000ffImageAndEveryModemAreaByteForByte) {
    CWorkerRig rig;
    const JobImages images = B000ffJob();
    const std::string program = rig.PackContainer(images);
    rig.ChoosePhone(images.phone);
    rig.Attach();
    rig.WatchModemPort();
    fleet::SlotStartOptions options;
    options.bPhoneChosen = true;
    options.bPhoneBootloaderUpdate = true;
    options.bPhoneInit = true;
    ASSERT_EQ(rig.Start(program, options).nStarted, 1);
    const std::vector<Posted> posted = rig.Finish();

    EXPECT_EQ(rig.Handset().Eboot(), images.eboot);
    EXPECT_EQ(rig.Handset().PdaImage(), images.pda);
    EXPECT_TRUE(rig.Handset().Stream().bComplete);
    ExpectModemAreas(rig, images.phone, true);
    EXPECT_TRUE(rig.Handset().Modem().bLaunched);
    EXPECT_EQ(rig.Handset().Modem().nLaunchWord, 0x1010);
    EXPECT_EQ(rig.Handset().Modem().nEfsErases, 1);
    EXPECT_TRUE(rig.Handset().Pda().handovers.empty()) << "the container worker hands nothing over";

    const uint32_t com = static_cast<uint32_t>(rig.slots.phoneComNumbers[0].load());
    std::vector<Posted> expected = {Pda(200), Pda(202), Pda(204), Pda(203), Pda(204)};
    std::vector<Posted> steps = Steps(posted);
    ASSERT_GE(steps.size(), 7u);
    EXPECT_EQ(std::vector<Posted>(steps.begin(), steps.begin() + 5), expected);
    EXPECT_EQ(steps[5].nMsg, fleet::WM_WINDOW_TEXT) << "a line of the shared log";
    EXPECT_EQ(steps[5].nArgument, fleet::kWindowTextLog);
    EXPECT_EQ(steps[5].text, "PDA Image part:1\r\n");
    const std::vector<Posted> phone = {
        Phone(300),      Phone(303, com), Phone(301, com), Phone(308, 8),   Phone(309, 8),
        Phone(308, 0),   Phone(309, 0),   Phone(312, 100), Phone(308, 3),   Phone(309, 3),
        Phone(312, 100), Phone(308, 4),   Phone(309, 4),   Phone(312, 100), Phone(308, 5),
        Phone(309, 5),   Phone(312, 100), Phone(314),      Pda(218, 0)};
    EXPECT_EQ(std::vector<Posted>(steps.begin() + 6, steps.end()), phone);
    EXPECT_EQ(ArgumentsOf(posted, 316).back(), 100u);
    EXPECT_EQ(ArgumentsOf(posted, 209).back(), 100u);
}

TEST(ContainerWorkerTest, FlatImageWithoutEbootOrPhone) {
    CWorkerRig rig;
    const JobImages images = FlatJob();
    const std::string program = rig.PackContainer(images, false);
    rig.Attach();
    ASSERT_EQ(rig.Start(program, {}).nStarted, 1);
    const std::vector<Posted> posted = rig.Finish();

    EXPECT_TRUE(rig.Handset().Eboot().empty()) << "a container without EBOOT sends none";
    EXPECT_FALSE(Has(posted, Pda(200)));
    const std::vector<uint8_t> programmed = rig.Handset().PdaImage();
    ASSERT_GE(programmed.size(), kFlatData);
    EXPECT_TRUE(std::equal(images.pda.begin(), images.pda.begin() + kFlatData, programmed.begin()));
    // Command 12 names the data end, the position after the last 1008-byte
    // read of the region that held data, counted from the program file's start.
    const std::string dataEnd =
        "data end " + std::to_string(FlatDataEnd(rig.Trailer().pdaOffset)) + ",";
    const auto log = rig.SimLog();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
        return line.find("PDA_PROGRAM_RAW") != std::string::npos &&
               line.find(dataEnd) != std::string::npos;
    })) << dataEnd;
    EXPECT_EQ(Steps(posted),
              (std::vector<Posted>{Pda(206, 0), Pda(207), Pda(216, 100), Pda(218, 0)}));
    // One acknowledgement read after every 256th of (data end / 520 - 1500) blocks.
    const uint32_t blocks =
        static_cast<uint32_t>(FlatDataEnd(rig.Trailer().pdaOffset) / 520 - 1500);
    EXPECT_EQ(ArgumentsOf(posted, 215).size(), blocks / 256);
    // The final command has no reply: the handset may take it after the worker ended.
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (rig.Handset().Pda().nFinalCommand == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(rig.Handset().Pda().nFinalCommand, 2u);
    EXPECT_EQ(rig.Handset().Pda().nFinalAddress, 0x9CA80000u);
}

TEST(ContainerWorkerTest, AProgramWithoutAContainerGoesStraightToThePhone) {
    CWorkerRig rig;
    const JobImages images = FlatJob();
    rig.ChoosePhone(images.phone);
    rig.Attach();
    rig.WatchModemPort();
    fleet::SlotStartOptions options;
    options.bPhoneChosen = true;
    ASSERT_EQ(rig.Start(rig.ProfileOnlyProgram(), options).nStarted, 1);
    const std::vector<Posted> posted = rig.Finish();
    EXPECT_EQ(Steps(posted).front(), Phone(300)) << "no EBOOT, no PDA image";
    EXPECT_EQ(Steps(posted).back(), Pda(218, 0));
    EXPECT_TRUE(rig.Handset().Eboot().empty());
    EXPECT_TRUE(rig.Handset().PdaImage().empty());
    ExpectModemAreas(rig, images.phone, false);
}

// An EBOOT longer than its partition would be programmed cut short (and a
// shorter one padded from RAM); the slot fails before anything is sent.
TEST(ContainerWorkerTest, AnEbootLongerThanItsPartitionIsRefused) {
    CWorkerRig rig;
    JobImages images = FlatJob();
    images.eboot = fleet::PatternBytes(0x30000 + 10, 1);
    // Laid out by hand: the packer itself refuses such an EBOOT.
    std::vector<uint8_t> file = fleet::PatternBytes(0x1000, 99);
    fleet::ContainerTrailer t;
    t.magic = fleet::kContainerMagic;
    t.ebootOffset = static_cast<uint32_t>(file.size());
    t.ebootSize = static_cast<uint32_t>(images.eboot.size());
    for (const uint8_t b : images.eboot) {
        file.push_back(b);
    }
    t.pdaOffset = static_cast<uint32_t>(file.size());
    t.pdaSize = static_cast<uint32_t>(images.pda.size());
    for (const uint8_t b : images.pda) {
        file.push_back(b);
    }
    t.unread = {0, 0, static_cast<uint32_t>(file.size()), 0};
    t.profileIndex = CWorkerRig::kRow;
    for (const uint8_t b : fleet::EncodeContainerTrailer(t)) {
        file.push_back(b);
    }
    fleettest::CTempDir dir;
    const std::string program = dir.Write("fleet_downloader", file);
    rig.Attach();
    ASSERT_EQ(rig.Start(program, {}).nStarted, 1);
    const std::vector<Posted> posted = rig.Finish();
    EXPECT_EQ(LastPdaCode(posted), 208u);
    EXPECT_TRUE(std::any_of(posted.begin(), posted.end(), [](const Posted& p) {
        return p.text ==
               "The EBoot image is 196618 bytes; MTX-Juniper takes an EBoot image of "
               "exactly 196608 bytes (its EBOOT partition).\r\n";
    }));
    EXPECT_TRUE(rig.Handset().Eboot().empty());
    EXPECT_TRUE(rig.Handset().PdaImage().empty());
    EXPECT_EQ(rig.Handset().Pda().nRamPackets, 0);
}

// The picker refuses such a file; a file that changed since is refused by
// the worker before a byte is sent, whichever way its size is wrong.
TEST(FilesWorkerTest, AnEbootThatIsNotThePartitionsLengthIsRefused) {
    fleet::SetPauseScale(0);
    for (const size_t size : {size_t{0x30000 + 1}, size_t{0x30000 - 1}}) {
        fleettest::CTempDir dir;
        testsupport::CRecordingSink sink;
        fleet::CFleetSlots slots;
        const std::vector<fleet::PlatformProfile> profiles = fleet::BuildPlatformProfiles();
        fleet::CImageFile eboot;
        ASSERT_TRUE(eboot.Open(dir.Write("eboot.nb0", fleet::PatternBytes(size, 1))));
        fleet::SlotContext& ctx = slots.contexts[0];
        ctx.pWindow = &sink;
        ctx.pProfile = &profiles[2];
        ctx.pPdaPort = &slots.pdaPorts[0];
        ctx.pPhonePort = &slots.phonePorts[0];
        ctx.bEboot = 1;
        ctx.pEbootFile = &eboot;
        EXPECT_EQ(fleet::DownloadFromFilesThread(&ctx), -1);
        const std::vector<Posted> posted = Drain(sink);
        EXPECT_EQ(LastPdaCode(posted), 208u) << size;
        EXPECT_TRUE(std::any_of(posted.begin(), posted.end(), [&](const Posted& p) {
            return p.text == "The EBoot image is " + std::to_string(size) +
                                 " bytes; MTX-Juniper takes an EBoot image of exactly 196608 "
                                 "bytes (its EBOOT partition).\r\n";
        })) << size;
        EXPECT_FALSE(Has(posted, Pda(202))) << "nothing was sent";
    }
    fleet::SetPauseScale(1.0);
}

TEST(FilesWorkerTest, CombinedImageEveryAreaByteForByte) {
    CWorkerRig rig;
    const JobImages images = FlatJob();
    rig.ChooseCombined(images);
    rig.Attach();
    rig.WatchModemPort();
    fleet::SlotStartOptions options;
    options.bPhoneChosen = true;
    options.bPhoneBootloaderUpdate = true;
    ASSERT_EQ(rig.Start(rig.ProfileOnlyProgram(), options).nStarted, 1);
    const std::vector<Posted> posted = rig.Finish();

    // EBOOT goes to RAM, the profile's EBOOT length of it, with no
    // programming command for it in this mode; the region is erased, sent
    // and checked, then the hand-over.
    const size_t regionEnd = static_cast<size_t>(FlatDataEnd(0));
    const fleettest::WireProfile wire;
    const std::vector<std::string> received = rig.Handset().Received();
    const std::vector<std::string> pdaWire = {
        fleettest::RamRun(wire.nRam, wire.nEbootLength),
        fleettest::PdaCommand("PDA_ERASE", wire.nRegionFlash, static_cast<uint32_t>(regionEnd)),
        fleettest::RamRun(wire.nRam, regionEnd),
        fleettest::PdaCommand("PDA_VERIFY_CHECKSUM", wire.nRegionFlash,
                              static_cast<uint32_t>(regionEnd)),
        fleettest::PdaCommand("PDA_HANDOVER", wire.nLaunch)};
    ASSERT_GE(received.size(), pdaWire.size());
    EXPECT_EQ(std::vector<std::string>(received.begin(), received.begin() + 5), pdaWire);
    EXPECT_TRUE(rig.Handset().Eboot().empty()) << "no EBOOT programming in files mode";
    EXPECT_EQ(rig.Handset().PdaImage(),
              std::vector<uint8_t>(images.pda.begin(), images.pda.begin() + regionEnd));
    ExpectModemAreas(rig, images.phone, true);
    EXPECT_EQ(rig.Handset().Modem().nEfsErases, 0) << "no phone initialisation";
    EXPECT_EQ(rig.Handset().Pda().handovers, std::vector<uint32_t>{37});
    EXPECT_TRUE(rig.Handset().Modem().bLaunched);

    const std::vector<Posted> steps = Steps(posted);
    const std::vector<Posted> pdaSteps = {
        Pda(200), Pda(202), Pda(204),      Pda(203), Pda(206, 0), Pda(205),    Pda(206, 0),
        Pda(207), Pda(204), Pda(216, 100), Pda(211), Pda(212),    Pda(214, 0), Phone(300)};
    ASSERT_GE(steps.size(), pdaSteps.size());
    EXPECT_EQ(std::vector<Posted>(steps.begin(), steps.begin() + pdaSteps.size()), pdaSteps);
    EXPECT_EQ(steps.back(), Pda(218, 0));
    // One acknowledgement per 520-byte block of the piece.
    EXPECT_EQ(rig.Handset().Pda().nAcks, static_cast<int>(regionEnd / 520));
}

// The platform row is in container mode, but the program carries no
// container: the image files the operator chose are written by the files
// worker, not skipped by a container worker that reports the job done.
TEST(FilesWorkerTest, ChosenImageFilesAreWrittenWhenTheProgramHasNoContainer) {
    CWorkerRig rig;
    const JobImages images = FlatJob();
    rig.ChooseCombined(images, false, true);
    rig.Attach();
    ASSERT_EQ(rig.Start(rig.ProfileOnlyProgram(), {}).nStarted, 1);
    const std::vector<Posted> posted = rig.Finish();
    EXPECT_EQ(Steps(posted).front(), Pda(200));
    EXPECT_EQ(Steps(posted).back(), Pda(218, 0));
    const size_t regionEnd = static_cast<size_t>(FlatDataEnd(0));
    EXPECT_EQ(rig.Handset().PdaImage(),
              std::vector<uint8_t>(images.pda.begin(), images.pda.begin() + regionEnd));
    EXPECT_EQ(rig.Handset().Pda().handovers, std::vector<uint32_t>{37});
    const fleettest::WireProfile wire;
    ASSERT_FALSE(rig.Handset().Received().empty());
    EXPECT_EQ(rig.Handset().Received().front(), fleettest::RamRun(wire.nRam, wire.nEbootLength));
}

TEST(FilesWorkerTest, SignatureModeChecksInRamBeforeProgramming) {
    CWorkerRig rig;
    const JobImages images = FlatJob();
    rig.ChooseCombined(images, true);
    rig.Attach();
    ASSERT_EQ(rig.Start(rig.ProfileOnlyProgram(), {}).nStarted, 1);
    const std::vector<Posted> posted = rig.Finish();
    const size_t regionEnd = static_cast<size_t>(FlatDataEnd(0));
    EXPECT_TRUE(rig.Handset().Eboot().empty()) << "no EBOOT programming in files mode";
    EXPECT_EQ(rig.Handset().PdaImage(),
              std::vector<uint8_t>(images.pda.begin(), images.pda.begin() + regionEnd));
    EXPECT_EQ(rig.Handset().Pda().nSignatureReplies, 2) << "EBOOT and the region";
    EXPECT_EQ(Steps(posted),
              (std::vector<Posted>{Pda(200), Pda(202), Pda(220), Pda(221), Pda(204), Pda(203),
                                   Pda(206, 0), Pda(206, 0), Pda(220), Pda(221), Pda(205), Pda(210),
                                   Pda(204), Pda(216, 100), Pda(218, 0)}))
        << "no erase before the transfer, no checksum after it";
}

TEST(FilesWorkerTest, MultiDownloadEndsWithoutALaunch) {
    CWorkerRig rig;
    rig.ChooseCombined(FlatJob());
    rig.Attach();
    fleet::SlotStartOptions options;
    options.bMultiDownload = true;
    ASSERT_EQ(rig.Start(rig.ProfileOnlyProgram(), options).nStarted, 1);
    const std::vector<Posted> posted = rig.Finish();
    uint32_t argument = 0;
    EXPECT_EQ(LastPdaCode(posted, &argument), 218u);
    EXPECT_EQ(argument, 1u) << "Job Done. without Launched!!";
    EXPECT_EQ(rig.Handset().Pda().nFinalCommand, 0u) << "no final command";
    EXPECT_EQ(rig.Handset().Pda().handovers, std::vector<uint32_t>{37});
}

// --- faults ---------------------------------------------------------------

class FaultTest : public ::testing::Test {
  protected:
    // The files worker's job on a handset with the faults, phone phase
    // included unless bPhone is false.
    std::vector<Posted> FilesJob(std::vector<Fault> faults, bool bPhone = true,
                                 fleetsim::HandsetSettings settings = CWorkerRig::Quick()) {
        rig = std::make_unique<CWorkerRig>(settings, std::move(faults));
        images = FlatJob();
        rig->ChooseCombined(images);
        rig->Attach(1000ms);
        rig->WatchModemPort();
        fleet::SlotStartOptions options;
        options.bPhoneChosen = bPhone;
        EXPECT_EQ(rig->Start(rig->ProfileOnlyProgram(), options).nStarted, 1);
        return rig->Finish();
    }
    std::vector<Posted> ContainerJob(std::vector<Fault> faults,
                                     fleetsim::HandsetSettings settings = CWorkerRig::Quick(),
                                     bool bWatch = true) {
        rig = std::make_unique<CWorkerRig>(settings, std::move(faults));
        fleet::PhoneSettings phone = fleet::CurrentPhoneSettings();
        phone.modemPortWait = portWait;
        fleet::SetPhoneSettings(phone);
        images = B000ffJob();
        const std::string program = rig->PackContainer(images);
        rig->ChoosePhone(images.phone);
        rig->Attach(1000ms);
        if (bWatch) {
            rig->WatchModemPort();
        }
        fleet::SlotStartOptions options;
        options.bPhoneChosen = true;
        EXPECT_EQ(rig->Start(program, options).nStarted, 1);
        return rig->Finish();
    }
    // The container job on a handset whose modem never publishes its link,
    // the slot holding COM number 4242 from an earlier detection; fnBefore
    // runs just before the start.
    std::vector<Posted> NoModemLinkJob(const std::function<void()>& fnBefore = {}) {
        fleetsim::HandsetSettings settings = CWorkerRig::Quick();
        settings.bNoModem = true;
        rig = std::make_unique<CWorkerRig>(settings, std::vector<Fault>{});
        fleet::PhoneSettings phone = fleet::CurrentPhoneSettings();
        phone.modemPortWait = 300ms;
        fleet::SetPhoneSettings(phone);
        images = B000ffJob();
        const std::string program = rig->PackContainer(images);
        rig->ChoosePhone(images.phone);
        rig->Attach();
        rig->slots.phoneComNumbers[0] = 4242;
        if (fnBefore) {
            fnBefore();
        }
        fleet::SlotStartOptions options;
        options.bPhoneChosen = true;
        EXPECT_EQ(rig->Start(program, options).nStarted, 1);
        return rig->Finish();
    }
    static Fault Wrong(Step step, int index) { return {Fault::Kind::Wrong, step, index, 0}; }

    std::unique_ptr<CWorkerRig> rig;
    JobImages images;
    std::chrono::milliseconds portWait = 3000ms;
};

TEST_F(FaultTest, WrongAcknowledgementIs217WithThePercentageReached) {
    const auto posted = FilesJob({Wrong(Step::Ack, 1000)}, false);
    const uint32_t blocks = static_cast<uint32_t>(FlatDataEnd(0) / 520);
    uint32_t argument = 0;
    EXPECT_EQ(LastPdaCode(posted, &argument), 217u);
    EXPECT_EQ(argument, 1000u * 100 / blocks);
    EXPECT_FALSE(Has(posted, Pda(211))) << "no checksum after a failed programming";
}

TEST_F(FaultTest, WrongDeviceChecksumIs213AndTheChecksumText) {
    const auto posted = FilesJob({Wrong(Step::Checksum, 0)}, false);
    ASSERT_GE(posted.size(), 2u);
    EXPECT_EQ(posted[posted.size() - 2], Pda(213));
    const uint32_t expected = fleet::ImageByteSum(images.pda.data(), images.pda.size());
    EXPECT_EQ(posted.back().nMsg, fleet::WM_SLOT_LOG);
    EXPECT_EQ(posted.back().text,
              platform::Format(fleet::kChecksumLogFormat, expected + 1, expected));
    EXPECT_EQ(rig->Handset().Pda().nFinalCommand, 0u);
}

TEST_F(FaultTest, RefusedGreetingIs307) {
    const auto posted = FilesJob({Wrong(Step::Greeting, 0)});
    EXPECT_EQ(Steps(posted).back(), Phone(307, 0));
    EXPECT_FALSE(rig->Handset().Modem().bLaunched);
}

TEST_F(FaultTest, RefusedAreaOpenIs310WithTheResponseCode) {
    const auto posted = ContainerJob({Wrong(Step::Open, 0)});
    EXPECT_EQ(Steps(posted).back(), Phone(310, 3));
}

TEST_F(FaultTest, RefusedBlockIs313WithThePercentageReached) {
    const auto posted = ContainerJob({Wrong(Step::Block, 10)});
    // Phone mode 1: the EFS row, then the code area from 0xE4000 to the end.
    const uint32_t blocks =
        static_cast<uint32_t>(((kPhoneLength + 1023) / 1024 * 1024 - 0xE4000) / 1024);
    EXPECT_EQ(Steps(posted).back(), Phone(313, 10 * 100 / blocks));
}

TEST_F(FaultTest, AModemPortThatNeverAppearsIs315Then302) {
    // A number detection found earlier; its port never comes.
    const auto posted = NoModemLinkJob();
    const std::vector<Posted> steps = Steps(posted);
    ASSERT_GE(steps.size(), 4u);
    EXPECT_EQ(
        std::vector<Posted>(steps.end() - 4, steps.end()),
        (std::vector<Posted>{Phone(300), Phone(315, 4242), Phone(303, 4242), Phone(302, 4242)}));
}

// A modem port that is there but cannot be opened: the slot log says why
// just before 302.
TEST_F(FaultTest, AModemPortThatWillNotOpenIs302WithItsCause) {
    const auto posted = NoModemLinkJob([this] {
        // Its "tty" is a plain file whose name ends in the number detection found.
        const std::string file = rig->DevDir() + "/../modem4241";
        std::ofstream(file) << "x";
        std::filesystem::create_symlink(file, rig->DevDir() + "/usb-Sim_Modem_0001-if00");
    });
    ASSERT_GE(posted.size(), 2u);
    EXPECT_EQ(posted.back(), Phone(302, 4242));
    const Posted& why = posted[posted.size() - 2];
    EXPECT_EQ(why.nMsg, fleet::WM_SLOT_LOG);
    EXPECT_EQ(why.text, "PHONE-" + rig->DevDir() +
                            "/usb-Sim_Modem_0001-if00: not a serial port (no terminal device)\r\n"
                            "PHONE-choose a serial device, for example one under "
                            "/dev/serial/by-id\r\n");
}

TEST_F(FaultTest, NoComNumberIs302WithoutAnOpen) {
    fleetsim::HandsetSettings settings = CWorkerRig::Quick();
    settings.bNoModem = true;
    portWait = 200ms;
    const auto posted = ContainerJob({}, settings, false);
    EXPECT_EQ(Steps(posted).back(), Phone(302, 0));
    EXPECT_FALSE(rig->Handset().ModemHostConnected());
}

TEST_F(FaultTest, ALateModemPortIs315ThenStillOpened) {
    fleetsim::HandsetSettings settings = CWorkerRig::Quick();
    settings.nModemDelayMs = 800;
    rig = std::make_unique<CWorkerRig>(settings, std::vector<Fault>{});
    fleet::PhoneSettings phone = fleet::CurrentPhoneSettings();
    phone.modemPortWait = 300ms;
    fleet::SetPhoneSettings(phone);
    // The port appears during the 5 s pause after 315 (1 s here), as the
    // window sees it while it still watches.
    fleet::SetPauseScale(0.2);
    images = FlatJob();
    rig->ChooseCombined(images);
    rig->Attach();
    rig->WatchModemPort();
    fleet::SlotStartOptions options;
    options.bPhoneChosen = true;
    ASSERT_EQ(rig->Start(rig->ProfileOnlyProgram(), options).nStarted, 1);
    const auto posted = rig->Finish();
    const uint32_t com = static_cast<uint32_t>(rig->slots.phoneComNumbers[0].load());
    const std::vector<Posted> steps = Steps(posted);
    const auto at = std::find(steps.begin(), steps.end(), Phone(300));
    ASSERT_NE(at, steps.end());
    ASSERT_GE(steps.end() - at, 4);
    EXPECT_EQ(std::vector<Posted>(at, at + 4),
              (std::vector<Posted>{Phone(300), Phone(315, 0), Phone(303, com), Phone(301, com)}));
    EXPECT_EQ(steps.back(), Pda(218, 0));
    ExpectModemAreas(*rig, images.phone, false);
}

// A modem port that appears only after 303, while the worker tries to open
// it: no event wakes anyone, but its number, learnt as its link appears, is
// found by the next attempt.
TEST_F(FaultTest, AModemPortAppearingDuringTheOpenAttemptsIsOpened) {
    fleetsim::HandsetSettings settings = CWorkerRig::Quick();
    settings.nModemDelayMs = 1000;
    rig = std::make_unique<CWorkerRig>(settings, std::vector<Fault>{});
    fleet::PhoneSettings phone = fleet::CurrentPhoneSettings();
    phone.modemPortWait = 100ms;
    fleet::SetPhoneSettings(phone);
    // 315 at 0.1 s, 303 after the 0.5 s pause, then ten attempts 0.1 s apart.
    fleet::SetPauseScale(0.1);
    images = B000ffJob();
    const std::string program = rig->PackContainer(images);
    rig->ChoosePhone(images.phone);
    rig->Attach();
    rig->WatchModemPort(false);
    fleet::SlotStartOptions options;
    options.bPhoneChosen = true;
    ASSERT_EQ(rig->Start(program, options).nStarted, 1);
    const auto posted = rig->Finish();
    const uint32_t com = static_cast<uint32_t>(rig->slots.phoneComNumbers[0].load());
    ASSERT_NE(com, 0u);
    const std::vector<Posted> steps = Steps(posted);
    const auto at = std::find(steps.begin(), steps.end(), Phone(300));
    ASSERT_NE(at, steps.end());
    ASSERT_GE(steps.end() - at, 4);
    EXPECT_EQ(std::vector<Posted>(at, at + 4),
              (std::vector<Posted>{Phone(300), Phone(315, 0), Phone(303, 0), Phone(301, com)}));
    EXPECT_EQ(steps.back(), Pda(218, 0));
    ExpectModemAreas(*rig, images.phone, false);
}

TEST_F(FaultTest, AHandsetThatGoesSilentFailsItsSlot) {
    const auto started = std::chrono::steady_clock::now();
    const auto posted = FilesJob({{Fault::Kind::Silent, Step::Ram, 300, 0}}, false);
    EXPECT_EQ(LastPdaCode(posted), 217u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s) << "bounded, not forever";
}

TEST_F(FaultTest, UnpluggedMidStreamIs217) {
    const auto posted = ContainerJob({{Fault::Kind::Unplug, Step::Stream, 100, 0}});
    uint32_t argument = 1;
    EXPECT_EQ(LastPdaCode(posted, &argument), 217u);
    EXPECT_FALSE(Has(posted, Phone(300)));
}

TEST_F(FaultTest, UnpluggedMidModemBlocksIs313) {
    const auto posted = ContainerJob({{Fault::Kind::Unplug, Step::Block, 20, 0}});
    const std::vector<Posted> steps = Steps(posted);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back().nCode, 313u);
    EXPECT_FALSE(Has(posted, Pda(218, 0)));
}

TEST(WorkerContextTest, AnUnreadableTrailerStillEndsTheSlot) {
    fleettest::CTempDir dir;
    testsupport::CRecordingSink sink;
    fleet::CFleetSlots slots;
    const std::vector<fleet::PlatformProfile> profiles = fleet::BuildPlatformProfiles();
    fleet::SlotContext& ctx = slots.contexts[5];
    ctx.nSlot = 5;
    ctx.pWindow = &sink;
    ctx.pProfile = &profiles[2];
    ctx.pPdaPort = &slots.pdaPorts[5];
    ctx.pPhonePort = &slots.phonePorts[5];
    ASSERT_TRUE(ctx.programFile.Open(dir.Write("tiny", {1, 2, 3})));  // no room for a trailer
    EXPECT_EQ(fleet::DownloadFromContainerThread(&ctx), -1);
    const auto posted = Drain(sink);
    ASSERT_EQ(posted.size(), 3u);
    // Shown to the operator, kept in the slot's log, and the slot ended.
    EXPECT_EQ(posted[0].nMsg, fleet::WM_WINDOW_TEXT);
    EXPECT_EQ(posted[0].nArgument, fleet::kWindowTextBox);
    EXPECT_EQ(posted[0].text, " Cfile read error ");
    EXPECT_EQ(posted[1].nMsg, fleet::WM_SLOT_LOG);
    EXPECT_EQ(posted[1].text, " Cfile read error ");
    EXPECT_EQ(posted[2], Pda(208, 1)) << "a failing code, so the batch can finish";
    EXPECT_EQ(posted[2].nSlot, 5);
}

}  // namespace
