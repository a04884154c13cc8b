#include "simusb/descriptor_file.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "simusb/byte_order.h"
#include "simusb/usb_codes.h"

namespace simusb {

namespace {

constexpr size_t kBytesPerLine = 16;
constexpr size_t kMaxExportedSteps = 64;

// The device behaviours a `quirk` line may name.
struct QuirkName {
    std::string_view name;
    bool QuirkBehaviour::*flag;
};
constexpr QuirkName kQuirkNames[] = {
    {"clock-reads-without-control", &QuirkBehaviour::clockReadsWithoutControl},
};

std::vector<std::string_view> Tokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
        size_t start = pos;
        while (pos < line.size() && !std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
        if (pos > start) tokens.push_back(line.substr(start, pos - start));
    }
    return tokens;
}

template <typename T>
std::optional<T> Number(std::string_view token, int base) {
    T value{};
    auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value, base);
    if (error != std::errc() || end != token.data() + token.size()) return std::nullopt;
    return value;
}

class Parser {
public:
    DescriptorFile Parse(std::string_view text);

private:
    enum class Block { None, Device, Config };

    void Line(std::string_view line);
    void Keyword(std::string_view keyword, const std::vector<std::string_view>& tokens, std::string_view line);
    void HexBytes(const std::vector<std::string_view>& tokens, size_t first);
    void CloseBlock();
    void String(const std::vector<std::string_view>& tokens, std::string_view line);
    void Rates(const std::vector<std::string_view>& tokens);
    void SpeedLine(const std::vector<std::string_view>& tokens);
    void QuirkLine(const std::vector<std::string_view>& tokens);
    void WarnOfMissingStrings();
    void WarnIfMissing(size_t line, const std::string& where, const char* field, uint8_t index);
    [[noreturn]] void Fail(const std::string& what) const { throw DescriptorFileError(lineNumber_, what); }

    DescriptorFile file_;
    size_t lineNumber_ = 0;
    size_t deviceLine_ = 0;
    std::vector<size_t> configLines_;
    Block block_ = Block::None;
    size_t blockLine_ = 0;
    std::vector<uint8_t> bytes_;
    bool haveDevice_ = false;
    std::optional<Speed> speed_;
};

DescriptorFile Parser::Parse(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {  // a final newline ends the last line, it does not start one
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        ++lineNumber_;
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        Line(line);
        pos = end + 1;
    }
    CloseBlock();
    if (!haveDevice_) throw DescriptorFileError(lineNumber_ + 1, "the file has no 'device' line");
    const std::vector<uint8_t>& device = file_.descriptors.device;
    file_.descriptors.speed = speed_.value_or(ReadLe(device, 2, 2) >= 0x0200 ? Speed::High : Speed::Full);
    WarnOfMissingStrings();
    return file_;
}

void Parser::Line(std::string_view line) {
    std::vector<std::string_view> tokens = Tokens(line);
    if (tokens.empty() || tokens.front().front() == '#') return;
    std::string_view first = tokens.front();
    if (first == "device" || first == "config" || first == "string" || first == "rates" || first == "speed" ||
        first == "quirk") {
        CloseBlock();
        Keyword(first, tokens, line);
        return;
    }
    if (block_ == Block::None) {
        Fail("expected device, config, string, rates, speed or quirk, found '" + std::string(first) + "'");
    }
    HexBytes(tokens, 0);
}

void Parser::Keyword(std::string_view keyword, const std::vector<std::string_view>& tokens, std::string_view line) {
    if (keyword == "device" || keyword == "config") {
        if (keyword == "device" && haveDevice_) Fail("a second 'device' line");
        block_ = keyword == "device" ? Block::Device : Block::Config;
        blockLine_ = lineNumber_;
        bytes_.clear();
        HexBytes(tokens, 1);
    } else if (keyword == "string") {
        String(tokens, line);
    } else if (keyword == "rates") {
        Rates(tokens);
    } else if (keyword == "quirk") {
        QuirkLine(tokens);
    } else {
        SpeedLine(tokens);
    }
}

void Parser::HexBytes(const std::vector<std::string_view>& tokens, size_t first) {
    for (size_t i = first; i < tokens.size(); ++i) {
        std::string_view token = tokens[i];
        if (token.size() % 2 != 0) Fail("'" + std::string(token) + "' is not a whole number of hex bytes");
        for (size_t j = 0; j < token.size(); j += 2) {
            std::optional<uint8_t> byte = Number<uint8_t>(token.substr(j, 2), 16);
            if (!byte) Fail("'" + std::string(token) + "' is not hex");
            bytes_.push_back(*byte);
        }
    }
}

void Parser::CloseBlock() {
    if (block_ == Block::Device) {
        if (bytes_.size() != usb::kDeviceDescriptorLength) {
            throw DescriptorFileError(blockLine_, "the device descriptor has " + std::to_string(bytes_.size()) +
                                                      " bytes, not 18");
        }
        file_.descriptors.device = bytes_;
        haveDevice_ = true;
        deviceLine_ = blockLine_;
    } else if (block_ == Block::Config) {
        if (bytes_.empty()) throw DescriptorFileError(blockLine_, "'config' without bytes");
        file_.descriptors.configurations.push_back(bytes_);
        configLines_.push_back(blockLine_);
    }
    block_ = Block::None;
    bytes_.clear();
}

void Parser::String(const std::vector<std::string_view>& tokens, std::string_view line) {
    if (tokens.size() < 3) Fail("expected 'string <index> <language ID in hex> <text>'");
    std::optional<uint8_t> index = Number<uint8_t>(tokens[1], 10);
    if (!index || *index == 0) Fail("string index '" + std::string(tokens[1]) + "' is not 1 to 255");
    std::optional<uint16_t> langId = tokens[2].size() <= 4 ? Number<uint16_t>(tokens[2], 16) : std::nullopt;
    if (!langId) Fail("language ID '" + std::string(tokens[2]) + "' is not 1 to 4 hex digits");
    // The text is what follows the single space after the language ID.
    size_t textStart = static_cast<size_t>(tokens[2].data() + tokens[2].size() - line.data()) + 1;
    std::string_view text = textStart < line.size() ? line.substr(textStart) : std::string_view();
    if (!IsValidUtf8(text)) Fail("the string text is not UTF-8");
    if (file_.descriptors.FindString(*index, *langId) != nullptr) Fail("string " + std::to_string(*index) + " given twice");
    file_.descriptors.strings.push_back(StringEntry{*index, *langId, Utf16FromUtf8(text)});
}

void Parser::Rates(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 3) Fail("expected 'rates <clock ID> <rate> ...'");
    std::optional<uint8_t> id = Number<uint8_t>(tokens[1], 10);
    if (!id || *id == 0) Fail("clock ID '" + std::string(tokens[1]) + "' is not 1 to 255");
    ClockSettings clock;
    clock.id = *id;
    for (size_t i = 2; i < tokens.size(); ++i) {
        std::optional<uint32_t> rate = Number<uint32_t>(tokens[i], 10);
        if (!rate || *rate == 0) Fail("rate '" + std::string(tokens[i]) + "' is not a positive number of Hz");
        clock.rates.push_back(DiscreteRate(*rate));
    }
    for (const ClockSettings& existing : file_.clocks) {
        if (existing.id == clock.id) Fail("rates for clock " + std::to_string(clock.id) + " given twice");
    }
    file_.clocks.push_back(clock);
}

void Parser::SpeedLine(const std::vector<std::string_view>& tokens) {
    if (speed_) Fail("a second 'speed' line");
    if (tokens.size() != 2 || (tokens[1] != "full" && tokens[1] != "high")) Fail("expected 'speed full' or 'speed high'");
    speed_ = tokens[1] == "high" ? Speed::High : Speed::Full;
}

void Parser::QuirkLine(const std::vector<std::string_view>& tokens) {
    if (tokens.size() != 2) Fail("expected 'quirk <name>'");
    for (const QuirkName& quirk : kQuirkNames) {
        if (tokens[1] == quirk.name) {
            if (file_.quirks.*quirk.flag) Fail("quirk " + std::string(quirk.name) + " given twice");
            file_.quirks.*quirk.flag = true;
            return;
        }
    }
    Fail("unknown quirk '" + std::string(tokens[1]) + "'");
}

// String indices the device or a configuration names but no `string` line
// gives: the device stalls those requests, which a real device would not.
void Parser::WarnOfMissingStrings() {
    if (file_.descriptors.strings.empty()) {
        file_.warnings.push_back("the file has no 'string' lines: the device answers no string descriptor, not even "
                                 "string descriptor 0 (the language list)");
    }
    const std::vector<uint8_t>& device = file_.descriptors.device;
    WarnIfMissing(deviceLine_, "the device descriptor", "iManufacturer", device[14]);
    WarnIfMissing(deviceLine_, "the device descriptor", "iProduct", device[15]);
    WarnIfMissing(deviceLine_, "the device descriptor", "iSerialNumber", device[16]);
    for (size_t c = 0; c < file_.descriptors.configurations.size(); ++c) {
        const std::vector<uint8_t>& config = file_.descriptors.configurations[c];
        // Standard descriptors with a string index, walked while they fit.
        for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2 && at + config[at] <= config.size();
             at += config[at]) {
            uint8_t length = config[at];
            uint8_t type = config[at + 1];
            std::string where = "configuration " + std::to_string(c);
            if (type == usb::kConfigurationDescriptor && length > 6) {
                WarnIfMissing(configLines_[c], where, "iConfiguration", config[at + 6]);
            } else if (type == usb::kInterfaceDescriptor && length > 8) {
                where += ", interface " + std::to_string(config[at + 2]) + " alternate setting " +
                         std::to_string(config[at + 3]);
                WarnIfMissing(configLines_[c], where, "iInterface", config[at + 8]);
            } else if (type == usb::kInterfaceAssociationDescriptor && length > 7) {
                WarnIfMissing(configLines_[c], where + ", interface association", "iFunction", config[at + 7]);
            }
        }
    }
}

void Parser::WarnIfMissing(size_t line, const std::string& where, const char* field, uint8_t index) {
    if (index == 0) {
        return;
    }
    for (const StringEntry& entry : file_.descriptors.strings) {
        if (entry.index == index) return;
    }
    file_.warnings.push_back("line " + std::to_string(line) + ": " + where + " names string " + std::to_string(index) +
                             " (" + field + "), which no 'string' line gives");
}

void WriteHex(std::ostringstream& out, const std::vector<uint8_t>& bytes, size_t perLine) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes.size(); ++i) {
        out << kDigits[bytes[i] >> 4] << kDigits[bytes[i] & 15] << ((i + 1) % perLine == 0 || i + 1 == bytes.size() ? "\n" : " ");
    }
}

// A clock's rates as a list, if it is short enough to write out.
std::optional<std::vector<uint32_t>> ListedRates(const std::vector<RateRange>& ranges) {
    std::vector<uint32_t> rates;
    for (const RateRange& r : ranges) {
        if (r.res == 0) {
            rates.push_back(r.min);
            if (r.max != r.min) rates.push_back(r.max);
            continue;
        }
        if ((r.max - r.min) / r.res + rates.size() > kMaxExportedSteps) return std::nullopt;
        for (uint64_t rate = r.min; rate <= r.max; rate += r.res) rates.push_back(static_cast<uint32_t>(rate));
    }
    return rates;
}

}  // namespace

DescriptorFile ParseDescriptorFile(std::string_view text) { return Parser().Parse(text); }

DescriptorFile ReadDescriptorFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path.string() + ": cannot be opened");
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return ParseDescriptorFile(text.str());
    } catch (const DescriptorFileError& error) {
        throw DescriptorFileError(error.Line(), error.Detail(), path.string());
    }
}

std::unique_ptr<AudioDevice> MakeDeviceFromFile(const DescriptorFile& file) {
    AudioSettings settings;
    settings.clocks = file.clocks;
    settings.quirks = file.quirks;
    return std::make_unique<AudioDevice>(file.descriptors, settings);
}

std::string WriteDescriptorFile(const AudioDevice& device) {
    const DescriptorSet& set = device.Descriptors();
    std::ostringstream out;
    out << "# simulated USB device descriptors\n";
    out << "speed " << (set.speed == Speed::High ? "high" : "full") << "\n";
    out << "device ";
    WriteHex(out, set.device, set.device.size());
    for (const std::vector<uint8_t>& config : set.configurations) {
        out << "config\n";
        WriteHex(out, config, kBytesPerLine);
    }
    for (const StringEntry& entry : set.strings) {
        char langId[8];
        std::snprintf(langId, sizeof langId, "%04x", entry.langId);
        out << "string " << static_cast<int>(entry.index) << ' ' << langId << ' ' << Utf8FromUtf16(entry.text) << "\n";
    }
    for (const ClockSettings& clock : device.Settings().clocks) {
        std::optional<std::vector<uint32_t>> rates = ListedRates(clock.rates);
        if (!rates || rates->empty()) continue;
        out << "rates " << static_cast<int>(clock.id);
        for (uint32_t rate : *rates) out << ' ' << rate;
        out << "\n";
    }
    for (const QuirkName& quirk : kQuirkNames) {
        if (device.Settings().quirks.*quirk.flag) out << "quirk " << quirk.name << "\n";
    }
    return out.str();
}

}  // namespace simusb
