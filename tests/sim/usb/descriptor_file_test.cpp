// Descriptor files: every ready-made device survives export and load, and a
// malformed file names the line that is wrong.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "simusb/audio_codes.h"
#include "simusb/descriptor_file.h"
#include "simusb/ready_made_devices.h"
#include "test_host.h"

namespace simusb {
namespace {

using testing::TestHost;

class RoundTrip : public ::testing::TestWithParam<ReadyMadeDevice> {};

TEST_P(RoundTrip, ExportedFileLoadsIntoADeviceWithTheSameDescriptors) {
    auto original = GetParam().Make();
    std::string text = WriteDescriptorFile(*original);
    auto loaded = MakeDeviceFromFile(ParseDescriptorFile(text));
    EXPECT_EQ(loaded->Descriptors(), original->Descriptors());
    EXPECT_EQ(loaded->speed(), original->speed());
    TestHost a(*original);
    TestHost b(*loaded);
    ASSERT_TRUE(a.Configure());
    ASSERT_TRUE(b.Configure());
    const AudioModel* model = original->Model();
    ASSERT_NE(model, nullptr);
    for (const ClockSourceEntity& clock : model->clockSources) {
        EXPECT_EQ(a.GetRange(clock.id, uac::kClockFrequencyControl, 0, 1024),
                  b.GetRange(clock.id, uac::kClockFrequencyControl, 0, 1024))
            << "clock " << int(clock.id);
        EXPECT_EQ(a.Rate(clock.id), b.Rate(clock.id));
    }
    EXPECT_EQ(WriteDescriptorFile(*loaded), text);
}

INSTANTIATE_TEST_SUITE_P(EveryReadyMadeDevice, RoundTrip, ::testing::ValuesIn(ReadyMadeDevices().begin(), ReadyMadeDevices().end()),
                         [](const auto& test) {
                             std::string name(test.param.name);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

constexpr const char* kDevice = "device 12 01 00 02 ef 02 01 40 e1 f0 31 0b 00 01 01 02 03 01\n";

size_t ErrorLine(const std::string& text) {
    try {
        ParseDescriptorFile(text);
    } catch (const DescriptorFileError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("line " + std::to_string(error.Line()) + ": ", 0), 0u) << error.what();
        return error.Line();
    }
    ADD_FAILURE() << "no error for:\n" << text;
    return 0;
}

TEST(DescriptorFile, MalformedFilesNameTheLine) {
    EXPECT_EQ(ErrorLine(std::string("# a device\n") + kDevice + "config 09 02 09 00\n  01 01 zz 80\n"), 4u);
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "config\n 09 02 0\n"), 3u) << "half a byte";
    EXPECT_EQ(ErrorLine("\n\ndevice 12 01 00 02\n  ef 02\nconfig 09 02 09 00 01 01 00 80 32\n"), 3u)
        << "a short device descriptor is named by its 'device' line";
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "bogus 1 2\n"), 2u);
    EXPECT_EQ(ErrorLine("12 01\n" + std::string(kDevice)), 1u) << "bytes outside a block";
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "string 1 04090 Maker\n"), 2u) << "language ID of five digits";
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "string 0 0409 Maker\n"), 2u) << "string 0 is the language list";
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "string 1 0409 A\nstring 1 0409 B\n"), 3u);
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "rates 41 48000 fast\n"), 2u);
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "rates 41\n"), 2u);
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "speed super\n"), 2u);
    EXPECT_EQ(ErrorLine(std::string("speed full\n") + kDevice + "speed high\n"), 3u);
    EXPECT_EQ(ErrorLine(std::string(kDevice) + kDevice), 2u);
    EXPECT_EQ(ErrorLine("# nothing\nconfig 09 02 09 00 00 01 00 80 32\n"), 3u) << "no device line: past the end";
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "string 2 0409 \xC3\x28\n"), 2u) << "not UTF-8";
}

TEST(DescriptorFile, ParsesStringsRatesSpeedAndContinuationLines) {
    std::string text = std::string("# comment\r\n") + kDevice +
                       "config\n09 02 09 00\n# inside a block\n\n  00 01 00 80 32\n"
                       "string 1 0409 VQ Audio  \nstring 2 407 Schnittstelle \xC3\xA4\nstring 3 0409 \n"
                       "rates 41 44100 48000\n";
    DescriptorFile file = ParseDescriptorFile(text);
    EXPECT_EQ(file.descriptors.device.size(), 18u);
    ASSERT_EQ(file.descriptors.configurations.size(), 1u);
    EXPECT_EQ(file.descriptors.configurations[0], (std::vector<uint8_t>{9, 2, 9, 0, 0, 1, 0, 0x80, 0x32}));
    EXPECT_EQ(file.descriptors.speed, Speed::High) << "bcdUSB 2.00 and no speed line";
    ASSERT_EQ(file.descriptors.strings.size(), 3u);
    EXPECT_EQ(file.descriptors.strings[0].text, u"VQ Audio  ") << "the text keeps its trailing spaces";
    EXPECT_EQ(file.descriptors.strings[1].langId, 0x0407);
    EXPECT_EQ(file.descriptors.strings[1].text, u"Schnittstelle \u00E4");
    EXPECT_EQ(file.descriptors.strings[2].text, u"");
    ASSERT_EQ(file.clocks.size(), 1u);
    EXPECT_EQ(file.clocks[0].id, 41);
    EXPECT_EQ(file.clocks[0].rates, (std::vector<RateRange>{DiscreteRate(44100), DiscreteRate(48000)}));

    EXPECT_EQ(ParseDescriptorFile(std::string("speed full\n") + kDevice).descriptors.speed, Speed::Full);
    std::string usb11 = "device 12011001000000084000000000000000";
    EXPECT_EQ(ParseDescriptorFile(usb11 + "0000\n").descriptors.speed, Speed::Full) << "bcdUSB 1.10";
}

// kDevice names strings 1 (iManufacturer), 2 (iProduct) and 3 (iSerialNumber).
TEST(DescriptorFile, StringIndicesNoStringLineGivesAreWarnedOfAndTheFileStillLoads) {
    const std::string config = "config 09 02 12 00 01 01 00 80 32\n 09 04 00 00 00 01 01 00 04\n";
    DescriptorFile file =
        ParseDescriptorFile(std::string(kDevice) + config + "string 1 0409 VQ Audio\nstring 3 0407 SN\n");
    EXPECT_EQ(file.warnings,
              (std::vector<std::string>{
                  "line 1: the device descriptor names string 2 (iProduct), which no 'string' line gives",
                  "line 2: configuration 0, interface 0 alternate setting 0 names string 4 (iInterface), which no "
                  "'string' line gives"}));
    EXPECT_EQ(file.descriptors.configurations.size(), 1u) << "loaded all the same";

    file = ParseDescriptorFile(std::string(kDevice) + "string 1 0409 A\nstring 2 0409 B\nstring 3 0409 C\n");
    EXPECT_TRUE(file.warnings.empty());
    file = ParseDescriptorFile(kDevice);
    ASSERT_EQ(file.warnings.size(), 4u);
    EXPECT_EQ(file.warnings[0], "the file has no 'string' lines: the device answers no string descriptor, not even "
                                "string descriptor 0 (the language list)");
}

TEST(DescriptorFile, QuirkLinesNameKnownQuirksOnce) {
    DescriptorFile file = ParseDescriptorFile(std::string(kDevice) + "quirk clock-reads-without-control\n");
    EXPECT_TRUE(file.quirks.clockReadsWithoutControl);
    EXPECT_FALSE(ParseDescriptorFile(kDevice).quirks.clockReadsWithoutControl);
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "quirk faster-than-light\n"), 2u);
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "quirk\n"), 2u);
    EXPECT_EQ(ErrorLine(std::string(kDevice) + "quirk clock-reads-without-control\nquirk clock-reads-without-control\n"),
              3u);
}

TEST(DescriptorFile, LoadedDeviceAnswersClassRequestsWithDefaults) {
    auto q7 = FindReadyMadeDevice("q7-0b31")->Make();
    std::string text = WriteDescriptorFile(*q7);
    text = text.substr(0, text.find("rates "));  // drop the rates: the defaults apply
    std::filesystem::path path = std::filesystem::temp_directory_path() / "simusb_q7.usb";
    std::ofstream(path) << text;
    auto device = MakeDeviceFromFile(ReadDescriptorFile(path));
    TestHost host(*device);
    ASSERT_TRUE(host.Configure());
    auto range = host.GetRange(41, uac::kClockFrequencyControl, 0, 1024);
    ASSERT_TRUE(range);
    EXPECT_EQ(range->size(), 2u + 12 * 6) << "44.1, 48, 88.2, 96, 176.4 and 192 kHz";
    EXPECT_EQ(host.Rate(41), 48000u);
    EXPECT_EQ(host.GetCur(41, uac::kClockValidityControl, 0, 1), std::vector<uint8_t>{1});
    auto volume = host.GetRange(10, uac::kVolumeControl, 0, 8);
    ASSERT_TRUE(volume);
    EXPECT_EQ(*volume, (std::vector<uint8_t>{1, 0, 0x00, 0x81, 0, 0, 0, 1})) << "-127 dB to 0 dB in 1 dB steps";

    std::ofstream(path) << "device 12 01\n";
    try {
        ReadDescriptorFile(path);
        ADD_FAILURE() << "a short device descriptor loaded";
    } catch (const DescriptorFileError& error) {
        EXPECT_NE(std::string(error.what()).find(path.string() + ": line 1: "), std::string::npos) << error.what();
    }
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace simusb
