#include "simusb/descriptor_walker.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>

#include "simusb/audio_codes.h"
#include "simusb/audio_model.h"
#include "simusb/byte_order.h"
#include "simusb/configuration_layout.h"
#include "simusb/usb_codes.h"

namespace simusb {

namespace {

// The size a class-specific audio control descriptor must have:
//     base + (pinsAt != 0 ? d[pinsAt] : 0)
// exactly, or at least that where a tail of its own (a mixer's control
// bitmap, process-specific fields) follows.
struct SizeRule {
    uint8_t subtype;
    uint8_t base;
    uint8_t pinsAt;  // offset of bNrInPins or bInCollection; 0: none
    bool exact;
};

constexpr SizeRule kVersion2Sizes[] = {
    {uac::kAcHeader, 9, 0, true},          {uac::kAcInputTerminal, 17, 0, true},
    {uac::kAcOutputTerminal, 12, 0, true}, {uac::kAcMixerUnit, 13, 4, false},
    {uac::kAcSelectorUnit, 7, 4, true},    {uac::kAc2EffectUnit, 12, 0, false},
    {uac::kAc2ProcessingUnit, 16, 6, false}, {uac::kAc2ExtensionUnit, 15, 6, false},
    {uac::kAc2ClockSource, 8, 0, true},    {uac::kAc2ClockSelector, 7, 4, true},
    {uac::kAc2ClockMultiplier, 7, 0, true}, {uac::kAc2SampleRateConverter, 8, 0, true},
};

constexpr SizeRule kVersion1Sizes[] = {
    {uac::kAcHeader, 8, 7, true},          {uac::kAcInputTerminal, 12, 0, true},
    {uac::kAcOutputTerminal, 9, 0, true},  {uac::kAcMixerUnit, 10, 4, false},
    {uac::kAcSelectorUnit, 6, 4, true},    {uac::kAc1ProcessingUnit, 13, 6, false},
    {uac::kAc1ExtensionUnit, 13, 6, false},
};

template <size_t N>
constexpr bool SubtypesUnique(const SizeRule (&rules)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (rules[i].base < 3) return false;
        for (size_t j = i + 1; j < N; ++j) {
            if (rules[i].subtype == rules[j].subtype) return false;
        }
    }
    return true;
}
static_assert(SubtypesUnique(kVersion2Sizes) && SubtypesUnique(kVersion1Sizes),
              "one size rule per subtype, each covering at least bLength, type and subtype");

enum class RefKind { Audio, Clock, Terminal };

struct Reference {
    size_t offset;
    RefKind kind;
};

bool IsClockSubtype(uint8_t subtype, bool v2) {
    return v2 && (subtype == uac::kAc2ClockSource || subtype == uac::kAc2ClockSelector ||
                  subtype == uac::kAc2ClockMultiplier);
}

// The IDs an entity descriptor refers to, by offset.
std::vector<Reference> ReferencesOf(DescriptorBytes d, bool v2) {
    auto pins = [&](size_t countAt, RefKind kind) {
        std::vector<Reference> refs;
        for (size_t i = 0; countAt < d.size() && i < d[countAt]; ++i) refs.push_back({countAt + 1 + i, kind});
        return refs;
    };
    switch (d[2]) {
    case uac::kAcInputTerminal:
        if (v2) return {{6, RefKind::Terminal}, {7, RefKind::Clock}};
        return {{6, RefKind::Terminal}};
    case uac::kAcOutputTerminal:
        if (v2) return {{6, RefKind::Terminal}, {7, RefKind::Audio}, {8, RefKind::Clock}};
        return {{6, RefKind::Terminal}, {7, RefKind::Audio}};
    case uac::kAcMixerUnit:
    case uac::kAcSelectorUnit: return pins(4, RefKind::Audio);
    case uac::kAcFeatureUnit: return {{4, RefKind::Audio}};
    default: break;
    }
    if (!v2) return d[2] == uac::kAc1ProcessingUnit || d[2] == uac::kAc1ExtensionUnit ? pins(6, RefKind::Audio)
                                                                                       : std::vector<Reference>{};
    switch (d[2]) {
    case uac::kAc2EffectUnit: return {{6, RefKind::Audio}};
    case uac::kAc2ProcessingUnit:
    case uac::kAc2ExtensionUnit: return pins(6, RefKind::Audio);
    case uac::kAc2ClockSource: return {{6, RefKind::Terminal}};
    case uac::kAc2ClockSelector: return pins(4, RefKind::Clock);
    case uac::kAc2ClockMultiplier: return {{4, RefKind::Clock}};
    case uac::kAc2SampleRateConverter: return {{4, RefKind::Audio}, {5, RefKind::Clock}, {6, RefKind::Clock}};
    default: return {};
    }
}

class Walker {
public:
    Walker(std::span<const uint8_t> config, std::optional<Speed> speed) : config_(config), speed_(speed) {}
    WalkReport Run();

private:
    struct Entity {
        uint8_t subtype;
        bool clock;
    };

    void Problem(DescriptorBytes at, const std::string& what) { Problem(Offset(at), what); }
    void Problem(size_t offset, const std::string& what);
    size_t Offset(DescriptorBytes d) const { return static_cast<size_t>(d.data() - config_.data()); }

    size_t CheckFraming();
    void CheckInterfaces();
    void CheckEndpoint(const AltSettingLayout& alt, const EndpointLayout& endpoint);
    void CheckAssociations(std::span<const uint8_t> set);
    void CheckAudioControl(const AltSettingLayout& control);
    void CheckEntitySize(DescriptorBytes d);
    void CheckReferences(DescriptorBytes d);
    void CheckStreaming(const AltSettingLayout& alt);
    bool Version1Audio(const AltSettingLayout& alt) const;

    std::span<const uint8_t> config_;
    std::optional<Speed> speed_;
    ConfigurationLayout layout_;
    bool v2_ = true;
    std::map<uint8_t, Entity> entities_;
    WalkReport report_;
};

void Walker::Problem(size_t offset, const std::string& what) {
    char where[24];
    std::snprintf(where, sizeof where, "@0x%03zx: ", offset);
    report_.problems.push_back(where + what);
}

WalkReport Walker::Run() {
    size_t walked = CheckFraming();
    if (walked == 0) return report_;
    layout_ = ReadConfigurationLayout(config_);
    CheckInterfaces();
    CheckAssociations(config_.first(walked));
    const AltSettingLayout* control = nullptr;
    for (const AltSettingLayout& alt : layout_.altSettings) {
        if (IsAudioInterface(alt, uac::kSubclassAudioControl) && control == nullptr) control = &alt;
    }
    if (control != nullptr) CheckAudioControl(*control);
    for (const AltSettingLayout& alt : layout_.altSettings) {
        if (control != nullptr && IsAudioInterface(alt, uac::kSubclassAudioStreaming)) CheckStreaming(alt);
    }
    return report_;
}

// bLength and wTotalLength; returns how many bytes hold whole descriptors.
size_t Walker::CheckFraming() {
    if (config_.size() < usb::kConfigurationDescriptorLength || config_[0] != usb::kConfigurationDescriptorLength ||
        config_[1] != usb::kConfigurationDescriptor) {
        Problem(0, "not a 9-byte configuration descriptor");
        return 0;
    }
    size_t total = ReadLe(config_, 2, 2);
    if (total != config_.size()) {
        Problem(2, "wTotalLength " + std::to_string(total) + ", but the set holds " + std::to_string(config_.size()) + " bytes");
    }
    size_t limit = std::min(total, config_.size());
    size_t offset = 0;
    while (offset < limit) {
        size_t length = config_[offset];
        if (length < 2) {
            Problem(offset, "bLength " + std::to_string(length) + " is below 2");
            break;
        }
        if (offset + length > limit) {
            Problem(offset, "a descriptor of " + std::to_string(length) + " bytes runs past wTotalLength");
            break;
        }
        uint8_t type = config_[offset + 1];
        if (type == usb::kInterfaceDescriptor && length != usb::kInterfaceDescriptorLength) {
            Problem(offset, "interface descriptor of " + std::to_string(length) + " bytes, not 9");
        } else if (type == usb::kInterfaceAssociationDescriptor && length != usb::kInterfaceAssociationLength) {
            Problem(offset, "interface association descriptor of " + std::to_string(length) + " bytes, not 8");
        } else if (type == usb::kConfigurationDescriptor && offset != 0) {
            Problem(offset, "a second configuration descriptor inside the set");
        }
        offset += length;
    }
    return offset;
}

bool Walker::Version1Audio(const AltSettingLayout& alt) const {
    return !v2_ && (IsAudioInterface(alt, uac::kSubclassAudioControl) || IsAudioInterface(alt, uac::kSubclassAudioStreaming));
}

void Walker::CheckInterfaces() {
    std::vector<uint8_t> numbers = layout_.InterfaceNumbers();
    if (numbers.size() != config_[4]) {
        Problem(4, "bNumInterfaces " + std::to_string(config_[4]) + ", but " + std::to_string(numbers.size()) +
                       " interfaces are described");
    }
    for (uint8_t number : numbers) {
        if (layout_.Find(number, 0) == nullptr) Problem(0, "interface " + std::to_string(number) + " has no setting 0");
    }
    std::set<std::pair<uint8_t, uint8_t>> seen;
    // The audio version decides which endpoint size is right: read it first.
    for (const AltSettingLayout& alt : layout_.altSettings) {
        if (IsAudioInterface(alt, uac::kSubclassAudioControl) && !alt.classSpecific.empty()) {
            v2_ = ReadLe(alt.classSpecific.front(), 3, 2) >= uac::kBcdVersion2;
            break;
        }
    }
    for (const AltSettingLayout& alt : layout_.altSettings) {
        if (!seen.insert({alt.Number(), alt.Alternate()}).second) {
            Problem(alt.descriptor, "interface " + std::to_string(alt.Number()) + " setting " +
                                        std::to_string(alt.Alternate()) + " described twice");
        }
        if (alt.endpoints.size() != alt.descriptor[4]) {
            Problem(alt.descriptor, "bNumEndpoints " + std::to_string(alt.descriptor[4]) + ", but " +
                                        std::to_string(alt.endpoints.size()) + " endpoint descriptors follow");
        }
        std::set<uint8_t> addresses;
        for (const EndpointLayout& endpoint : alt.endpoints) {
            if (!addresses.insert(endpoint.Address()).second) Problem(endpoint.descriptor, "endpoint address used twice");
            CheckEndpoint(alt, endpoint);
        }
    }
}

void Walker::CheckEndpoint(const AltSettingLayout& alt, const EndpointLayout& endpoint) {
    size_t length = endpoint.descriptor.size();
    bool audioForm = Version1Audio(alt) && length == usb::kAudioEndpointDescriptorLength;
    if (length != usb::kEndpointDescriptorLength && !audioForm) {
        Problem(endpoint.descriptor, "endpoint descriptor of " + std::to_string(length) + " bytes");
    }
    if ((endpoint.Address() & 0x0F) == 0 || (endpoint.Address() & 0x70) != 0) {
        Problem(endpoint.descriptor, "endpoint address " + std::to_string(endpoint.Address()) + " is not a data endpoint");
    }
    if ((endpoint.Attributes() & usb::kTransferMask) != usb::kTransferIsochronous) return;
    if (endpoint.Interval() < 1 || endpoint.Interval() > 16) {
        Problem(endpoint.descriptor, "isochronous bInterval " + std::to_string(endpoint.Interval()) + " is not 1 to 16");
    }
    uint16_t size = endpoint.MaxPacketSize();
    bool extra = (size >> usb::kMaxPacketExtraShift) != 0;
    if (speed_ == Speed::Full && (extra || size > 1023)) {
        Problem(endpoint.descriptor, "full-speed isochronous wMaxPacketSize above 1023");
    } else if (speed_ == Speed::High && ((size & usb::kMaxPacketPayloadMask) > 1024 || ((size >> 11) & 3) == 3 || (size >> 13) != 0)) {
        Problem(endpoint.descriptor, "high-speed isochronous wMaxPacketSize out of range");
    }
}

void Walker::CheckAssociations(std::span<const uint8_t> set) {
    std::vector<uint8_t> numbers = layout_.InterfaceNumbers();
    for (DescriptorBytes d : SplitDescriptors(set)) {
        if (d[1] != usb::kInterfaceAssociationDescriptor || d.size() < usb::kInterfaceAssociationLength) continue;
        for (unsigned i = 0; i < d[3]; ++i) {
            unsigned number = d[2] + i;
            if (std::find(numbers.begin(), numbers.end(), number) == numbers.end()) {
                Problem(d, "the association names interface " + std::to_string(number) + ", which does not exist");
            }
        }
    }
}

void Walker::CheckAudioControl(const AltSettingLayout& control) {
    if (control.classSpecific.empty() || control.classSpecific.front()[1] != usb::kCsInterface ||
        control.classSpecific.front()[2] != uac::kAcHeader) {
        Problem(control.descriptor, "the audio control interface does not start with a header");
        return;
    }
    DescriptorBytes header = control.classSpecific.front();
    uint32_t bcd = ReadLe(header, 3, 2);
    if (bcd != uac::kBcdVersion1 && bcd != uac::kBcdVersion2) Problem(header, "bcdADC is neither 1.0 nor 2.0");
    size_t sum = 0;
    for (DescriptorBytes d : control.classSpecific) {
        if (d[1] != usb::kCsInterface) continue;
        sum += d.size();
        CheckEntitySize(d);
        if (d.size() < 4 || d[2] == uac::kAcHeader) continue;
        uint8_t id = d[3];
        if (id == 0) Problem(d, "entity ID 0");
        if (!entities_.emplace(id, Entity{d[2], IsClockSubtype(d[2], v2_)}).second) {
            Problem(d, "entity ID " + std::to_string(id) + " used twice");
        }
    }
    uint32_t declared = ReadLe(header, v2_ ? 6 : 5, 2);
    if (declared != sum) {
        Problem(header, "the header's wTotalLength is " + std::to_string(declared) + ", its descriptors hold " +
                            std::to_string(sum) + " bytes");
    }
    for (DescriptorBytes d : control.classSpecific) {
        if (d[1] == usb::kCsInterface && d.size() >= 3 && d[2] != uac::kAcHeader) CheckReferences(d);
    }
    for (size_t i = 0; !v2_ && i < ReadLe(header, 7, 1); ++i) {
        uint8_t number = static_cast<uint8_t>(ReadLe(header, 8 + i, 1));
        const AltSettingLayout* member = layout_.Find(number, 0);
        if (member == nullptr || !IsAudioInterface(*member, uac::kSubclassAudioStreaming)) {
            Problem(header, "the collection names interface " + std::to_string(number) + ", not a streaming interface");
        }
    }
}

void Walker::CheckEntitySize(DescriptorBytes d) {
    if (d.size() < 3) return;
    size_t length = d.size();
    if (d[2] == uac::kAcFeatureUnit) {
        size_t controlSize = v2_ ? 4 : ReadLe(d, 5, 1);
        size_t fixed = v2_ ? 6 : 7;
        if (controlSize == 0 || length < fixed + controlSize || (length - fixed) % controlSize != 0) {
            Problem(d, "feature unit of " + std::to_string(length) + " bytes does not hold whole control sets");
        }
        return;
    }
    std::span<const SizeRule> rules = v2_ ? std::span<const SizeRule>(kVersion2Sizes) : std::span<const SizeRule>(kVersion1Sizes);
    for (const SizeRule& rule : rules) {
        if (rule.subtype != d[2]) continue;
        size_t expected = rule.base + (rule.pinsAt != 0 ? ReadLe(d, rule.pinsAt, 1) : 0);
        bool effectTail = v2_ && d[2] == uac::kAc2EffectUnit && (length - 12) % 4 != 0;
        if ((rule.exact ? length != expected : length < expected) || effectTail) {
            Problem(d, "subtype " + std::to_string(d[2]) + " of " + std::to_string(length) + " bytes, " +
                           (rule.exact ? "not " : "below ") + std::to_string(expected));
        }
        return;
    }
    Problem(d, "unknown audio control subtype " + std::to_string(d[2]));
}

void Walker::CheckReferences(DescriptorBytes d) {
    for (const Reference& ref : ReferencesOf(d, v2_)) {
        if (ref.offset >= d.size()) continue;  // the size check has reported it
        uint8_t id = d[ref.offset];
        if (ref.kind == RefKind::Terminal && id == 0) continue;  // no associated terminal
        auto found = entities_.find(id);
        if (found == entities_.end()) {
            Problem(d, "refers to entity " + std::to_string(id) + ", which does not exist");
            continue;
        }
        const Entity& target = found->second;
        bool terminal = target.subtype == uac::kAcInputTerminal || target.subtype == uac::kAcOutputTerminal;
        bool right = ref.kind == RefKind::Clock      ? target.clock
                     : ref.kind == RefKind::Terminal ? terminal
                                                     : !target.clock && target.subtype != uac::kAcOutputTerminal;
        if (!right) Problem(d, "refers to entity " + std::to_string(id) + ", which is of the wrong kind");
    }
}

void Walker::CheckStreaming(const AltSettingLayout& alt) {
    if (alt.endpoints.empty()) return;
    DescriptorBytes general;
    DescriptorBytes format;
    for (DescriptorBytes d : alt.classSpecific) {
        if (d[1] != usb::kCsInterface || d.size() < 3) continue;
        if (d[2] == uac::kAsGeneral) general = d;
        if (d[2] == uac::kAsFormatType) format = d;
    }
    if (general.empty() || format.empty()) {
        Problem(alt.descriptor, "a streaming setting with endpoints but no AS_GENERAL or FORMAT_TYPE");
        return;
    }
    if (general.size() != (v2_ ? 16u : 7u)) Problem(general, "AS_GENERAL of " + std::to_string(general.size()) + " bytes");
    auto link = entities_.find(general.size() > 3 ? general[3] : 0);
    bool terminal = link != entities_.end() &&
                    (link->second.subtype == uac::kAcInputTerminal || link->second.subtype == uac::kAcOutputTerminal);
    if (!terminal) Problem(general, "bTerminalLink names no terminal");
    if (format.size() > 3 && format[3] == uac::kFormatTypeI) {
        size_t rates = format.size() > 7 ? format[7] : 0;
        size_t expected = v2_ ? 6 : 8 + 3 * (rates == 0 ? 2 : rates);
        if (format.size() != expected) Problem(format, "type I format descriptor of " + std::to_string(format.size()) + " bytes, not " + std::to_string(expected));
    }
    for (const EndpointLayout& endpoint : alt.endpoints) {
        if (endpoint.SynchAddress() != 0) {
            bool exists = std::any_of(alt.endpoints.begin(), alt.endpoints.end(),
                                      [&](const EndpointLayout& e) { return e.Address() == endpoint.SynchAddress(); });
            if (!exists) Problem(endpoint.descriptor, "bSynchAddress names no endpoint of this setting");
        }
        for (DescriptorBytes cs : endpoint.classSpecific) {
            if (cs[1] == usb::kCsEndpoint && cs.size() != (v2_ ? 8u : 7u)) {
                Problem(cs, "EP_GENERAL of " + std::to_string(cs.size()) + " bytes");
            }
        }
    }
}

}  // namespace

std::string WalkReport::Text() const {
    std::string text;
    for (const std::string& problem : problems) text += problem + "\n";
    return text;
}

WalkReport WalkConfiguration(std::span<const uint8_t> config, std::optional<Speed> speed) {
    return Walker(config, speed).Run();
}

WalkReport WalkDescriptors(const DescriptorSet& descriptors) {
    WalkReport report;
    const std::vector<uint8_t>& device = descriptors.device;
    if (device.size() != usb::kDeviceDescriptorLength || device[0] != usb::kDeviceDescriptorLength ||
        device[1] != usb::kDeviceDescriptor) {
        report.problems.push_back("device: not an 18-byte device descriptor");
    } else if (device[17] != descriptors.configurations.size()) {
        report.problems.push_back("device: bNumConfigurations " + std::to_string(device[17]) + ", but " +
                                  std::to_string(descriptors.configurations.size()) + " configurations");
    }
    for (size_t i = 0; i < descriptors.configurations.size(); ++i) {
        for (const std::string& problem : WalkConfiguration(descriptors.configurations[i], descriptors.speed).problems) {
            report.problems.push_back("config " + std::to_string(i) + " " + problem);
        }
    }
    return report;
}

}  // namespace simusb
