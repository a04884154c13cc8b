#include "refusal.h"

#include "entity.h"
#include "simusb/usb_codes.h"
#include "status_names.h"
#include "text_format.h"
#include "usbaudiocl.h"

namespace vq7usb {

namespace {

// The IRPs the adapter gives the class layer's pool.
constexpr ULONG kAdapterIrpCount = 24;

constexpr uint8_t kGetDescriptorType = 0x80;   // device to host, standard, device
constexpr uint8_t kSetConfigurationType = 0x00;
constexpr uint8_t kSetInterfaceType = 0x01;
constexpr uint16_t kLanguageListHead_bytes = 4;

std::string DescriptorName(const simusb::Setup& setup) {
    uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
    uint8_t index = static_cast<uint8_t>(setup.wValue);
    switch (type) {
    case simusb::usb::kDeviceDescriptor: return "the device descriptor";
    case simusb::usb::kConfigurationDescriptor: return Format("configuration descriptor %u", index);
    case simusb::usb::kStringDescriptor: return Format("string descriptor %u (language 0x%04X)", index, setup.wIndex);
    default: return Format("descriptor type %u index %u", type, index);
    }
}

std::string HowItFailed(const simusb::LoggedRequest& request) {
    if (request.stalled) {
        return "was not answered (stalled)";
    }
    return Format("returned %zu of the %u bytes asked for", request.inData.size(), request.setup.wLength);
}

// The start-up reads need exactly the bytes they ask for: the first one
// that stalled or came back short is where the start stopped.
std::optional<Refusal> FailedDescriptorRead(const simusb::RequestLog& log) {
    for (const simusb::LoggedRequest& request : log.Entries()) {
        const simusb::Setup& setup = request.setup;
        if (setup.bmRequestType != kGetDescriptorType || setup.bRequest != simusb::usb::kGetDescriptor) {
            continue;
        }
        // Of the language list only the first, 4-byte read must be whole;
        // a second read that comes back short keeps what came.
        bool languageList = (setup.wValue >> 8) == simusb::usb::kStringDescriptor && (setup.wValue & 0xFF) == 0;
        if (languageList && setup.wLength != kLanguageListHead_bytes) {
            continue;
        }
        if (request.stalled || request.inData.size() != setup.wLength) {
            std::string detail = DescriptorName(setup) + " " + HowItFailed(request);
            if (languageList) {
                detail += "; the driver needs the language list at start (a descriptor file gives it with "
                          "its 'string' lines)";
            }
            return Refusal{"reading the descriptors", detail, true};
        }
    }
    return std::nullopt;
}

// The descriptors were read; the model built from them stopped somewhere.
Refusal ModelRefusal(CUSBAudioCL& layer) {
    const char* step = "building the audio model";
    if (layer.Configuration() == nullptr) {
        return {"reading the descriptors",
                "configuration descriptor 0 was refused: its first 9 bytes are not a configuration descriptor, or "
                "its wTotalLength changed between reads",
                true};
    }
    if (layer.AudioControlInterface() == nullptr) {
        return {step, Format("no audio-control interface (class 0x%02X, subclass 1, alternate setting 0) in the "
                             "configuration", layer.AudioInterfaceClass())};
    }
    if (layer.AudioControlHeader() == nullptr) {
        return {step, Format("the audio-control interface %u has no class-specific header that keeps within its "
                             "descriptors", layer.AudioControlInterfaceNumber())};
    }
    CUSBAudioEntity* last = layer.Entities();
    while (last != nullptr && last->Next() != nullptr) last = last->Next();
    if (last != nullptr && layer.StreamingInterfaceCount() == 0) {
        NTSTATUS link = last->Link();
        if (!NT_SUCCESS(link)) {
            char name[32];
            last->GetName(name, sizeof name);
            return {step, Format("the last entity, %s, names a source or clock that does not exist (%s)", name,
                                 StatusName(link).c_str())};
        }
    }
    for (USB_AS_INTERFACE* stream = layer.StreamingInterfaces(); stream != nullptr; stream = stream->next) {
        if (stream->terminal == nullptr) {
            return {step, Format("streaming interface %u: alternate setting 1 names no terminal of the audio function "
                                 "(bTerminalLink)", stream->interfaceNumber)};
        }
    }
    ULONG failing = layer.AudioControlInterfaceNumber() + 1 + layer.StreamingInterfaceCount();
    return {step, Format("streaming interface %lu: alternate setting 1 lacks an endpoint, its general descriptor or a "
                         "terminal link",
                         static_cast<unsigned long>(failing))};
}

Refusal ConfigurationRefusal(const simusb::RequestLog& log) {
    const char* step = "selecting the configuration";
    for (const simusb::LoggedRequest& request : log.Entries()) {
        const simusb::Setup& setup = request.setup;
        if (!request.stalled) continue;
        if (setup.bmRequestType == kSetConfigurationType && setup.bRequest == simusb::usb::kSetConfiguration) {
            return {step, Format("SET_CONFIGURATION %u was not answered (stalled)", setup.wValue)};
        }
        if (setup.bmRequestType == kSetInterfaceType && setup.bRequest == simusb::usb::kSetInterface) {
            return {step, Format("SET_INTERFACE interface %u alternate setting %u was not answered (stalled)",
                                 setup.wIndex, setup.wValue)};
        }
    }
    return {step, "an endpoint of the streaming interfaces' current settings has no pipe"};
}

}  // namespace

NTSTATUS StartAsTheAdapter(CUSBAudioCL& layer, PDEVICE_OBJECT pdo, const simusb::AudioDevice& device,
                           std::optional<Refusal>* refusal) {
    refusal->reset();
    NTSTATUS status = layer.Start(pdo, kAdapterIrpCount);
    if (!NT_SUCCESS(status)) {
        std::optional<Refusal> read = FailedDescriptorRead(device.Requests());
        *refusal = read ? *read : ModelRefusal(layer);
        return status;
    }
    status = layer.SelectConfiguration();
    if (!NT_SUCCESS(status)) {
        *refusal = ConfigurationRefusal(device.Requests());
    }
    return status;
}

void WriteRefusal(JsonWriter& json, const std::optional<Refusal>& refusal) {
    if (!refusal) {
        json.Null();
        return;
    }
    json.BeginObject();
    json.Key("step").String(refusal->step);
    json.Key("detail").String(refusal->detail);
    json.EndObject();
}

std::string RefusalText(const std::optional<Refusal>& refusal) {
    return refusal ? "Refused while " + refusal->step + ": " + refusal->detail + "\n" : std::string();
}

}  // namespace vq7usb
