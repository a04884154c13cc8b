// CUSBAudioCL: start-up and the audio model: the audio-control interface,
// the entities, the streaming interfaces with their alternate settings, and
// the choice of the render and the capture stream.

#include "usbaudiocl.h"

#include "common/trace.h"
#include "descriptor_walk.h"
#include "device_quirks.h"
#include "entity_terminal.h"

namespace {

constexpr UCHAR kHeaderSubtype = 0x01;
constexpr UCHAR kGeneralSubtype = 0x01;
constexpr UCHAR kFormatTypeSubtype = 0x02;
constexpr UCHAR kEndpointGeneralSubtype = 0x01;
constexpr USHORT kClassTwoRelease = 0x0200;
constexpr ULONG kHeaderReleaseOffset = 3;
constexpr ULONG kClassTwoHeaderTotalOffset = 6;
constexpr ULONG kClassOneHeaderTotalOffset = 5;
constexpr ULONG kTerminalLinkOffset = 3;  // AS_GENERAL bTerminalLink, both classes
constexpr ULONG kClassOneSynchAddressOffset = 8;
constexpr ULONG kClassOneAudioEndpointBytes = 9;

constexpr UCHAR kUsageMask = 0x30;
constexpr UCHAR kUsageFeedback = 0x10;
constexpr UCHAR kUsageBitFeedbackOrImplicit = 0x10;  // bit 4: not a plain data endpoint
constexpr UCHAR kSyncTypeMask = 0x0C;
constexpr UCHAR kTransferTypeMask = 0x03;
constexpr UCHAR kIsochronous = 0x01;

UCHAR EndpointAddress(const UCHAR* endpoint) { return vq7::Field8(endpoint, 2); }
UCHAR EndpointAttributes(const UCHAR* endpoint) { return vq7::Field8(endpoint, 3); }

}  // namespace

// Transfers still in flight complete through this class (their checks read
// the stream records), so they drain before anything of it is freed.
CUSBAudioCL::~CUSBAudioCL() {
    DrainTransfers();
    FreeModel();
}

void CUSBAudioCL::FreeModel() {
    while (streams_ != nullptr) {
        USB_AS_INTERFACE* next = streams_->next;
        if (streams_->alternates != nullptr) {
            ExFreePoolWithTag(streams_->alternates, vq7::kPoolTagUsba);
        }
        ExFreePoolWithTag(streams_, vq7::kPoolTagUsba);
        streams_ = next;
    }
    while (entities_ != nullptr) {
        CUSBAudioEntity* next = entities_->Next();
        delete entities_;
        entities_ = next;
    }
    streamingCount_ = 0;
    render_ = nullptr;
    capture_ = nullptr;
}

UCHAR CUSBAudioCL::AudioInterfaceClass() const {
    return (quirks_ & vq7::kQuirkVendorClassInterfaces) ? kVendorClass : kAudioClass;
}

// PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::Start(PDEVICE_OBJECT lowerDevice, ULONG irpCount) {
    PAGED_CODE();
    NTSTATUS status = Initialize(lowerDevice, irpCount);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    quirks_ = vq7::QuirksFor(VendorId(), ProductId());
    packetMarginQuirk_ = (quirks_ & vq7::kQuirkPacketMargin) ? 1 : 0;
    status = FindAudioControl();
    if (NT_SUCCESS(status)) status = ParseEntities(controlHeader_);
    if (NT_SUCCESS(status)) status = EnumerateStreamingInterfaces();
    if (NT_SUCCESS(status)) status = LinkStreamTerminals();
    if (NT_SUCCESS(status)) ChooseStreams();
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceModel, "Start failed: 0x%08X", static_cast<unsigned>(status));
    }
    return status;
}

// The audio-control interface and its class-specific header, which must
// keep within the interface's descriptors.
NTSTATUS CUSBAudioCL::FindAudioControl() {
    vq7::DescriptorWalk walk(Configuration(), ConfigurationWalkBytes());
    vq7::InterfaceMatch match;
    match.alternate = 0;
    match.interfaceClass = AudioInterfaceClass();
    match.subClass = kAudioControlSubclass;
    controlInterface_ = walk.FindInterface(walk.Begin(), match);
    if (controlInterface_ == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    const UCHAR* header = walk.Next(controlInterface_);
    if (header == nullptr || vq7::DescriptorType(header) != vq7::kClassInterfaceDescriptorType ||
        vq7::DescriptorSubtype(header) != kHeaderSubtype) {
        return STATUS_NOT_SUPPORTED;
    }
    classTwo_ = vq7::Field16(header, kHeaderReleaseOffset) == kClassTwoRelease ? 1 : 0;
    ULONG totalOffset = classTwo_ ? kClassTwoHeaderTotalOffset : kClassOneHeaderTotalOffset;
    if (totalOffset + 1 >= vq7::DescriptorLength(header)) {
        return STATUS_NOT_SUPPORTED;  // too short to say how long it is
    }
    ULONG total = vq7::Field16(header, totalOffset);
    if (header + total > walk.RegionEnd(controlInterface_)) {
        return STATUS_NOT_SUPPORTED;
    }
    controlHeader_ = header;
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::ParseEntities(const UCHAR* header) {
    ULONG totalOffset = classTwo_ ? kClassTwoHeaderTotalOffset : kClassOneHeaderTotalOffset;
    const UCHAR* limit = header + vq7::Field16(header, totalOffset);
    vq7::DescriptorWalk walk(Configuration(), ConfigurationWalkBytes());
    CUSBAudioEntity* last = nullptr;
    for (const UCHAR* d = walk.Find(walk.Next(header), limit, vq7::kClassInterfaceDescriptorType); d != nullptr;
         d = walk.Find(walk.Next(d), limit, vq7::kClassInterfaceDescriptorType)) {
        bool end = false;
        CUSBAudioEntity* entity = CreateEntity(d, this, classTwo_ != 0, &end);
        if (entity == nullptr) {
            if (!end) {
                VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceModel, "no pool for an entity");
            }
            break;
        }
        if (last == nullptr) {
            entities_ = entity;
        } else {
            last->SetNext(entity);
        }
        last = entity;
    }
    // As parsed, every entity links to its neighbours; the last one's
    // status is the result, so that an optional link that cannot be made
    // (a unit naming a missing source) leaves the entity in the model.
    NTSTATUS status = STATUS_SUCCESS;
    for (CUSBAudioEntity* entity = entities_; entity != nullptr; entity = entity->Next()) {
        status = entity->Link();
    }
    return status;
}

CUSBAudioEntity* CUSBAudioCL::FindEntity(ULONG id) const {
    for (CUSBAudioEntity* entity = entities_; entity != nullptr; entity = entity->Next()) {
        if (entity->GetID() == id) {
            return entity;
        }
    }
    return nullptr;
}

NTSTATUS CUSBAudioCL::EnumerateStreamingInterfaces() {
    vq7::DescriptorWalk walk(Configuration(), ConfigurationWalkBytes());
    USB_AS_INTERFACE** tail = &streams_;
    for (ULONG number = AudioControlInterfaceNumber() + 1; number <= 0xFF; ++number) {
        vq7::InterfaceMatch match;
        match.number = static_cast<LONG>(number);
        match.alternate = 0;
        match.interfaceClass = AudioInterfaceClass();
        match.subClass = kAudioStreamingSubclass;
        if (walk.FindInterface(walk.Begin(), match) == nullptr) {
            break;
        }
        auto* record =
            static_cast<USB_AS_INTERFACE*>(vq7::AllocateZeroed(sizeof(USB_AS_INTERFACE), vq7::kPoolTagUsba));
        if (record == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        record->interfaceNumber = static_cast<UCHAR>(number);
        KeInitializeSpinLock(&record->feedbackLock);
        NTSTATUS status = ParseStreamingInterface(record);
        if (!NT_SUCCESS(status)) {
            if (record->alternates != nullptr) {
                ExFreePoolWithTag(record->alternates, vq7::kPoolTagUsba);
            }
            ExFreePoolWithTag(record, vq7::kPoolTagUsba);
            return status;
        }
        *tail = record;
        tail = &record->next;
        streamingCount_ += 1;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::ParseStreamingInterface(USB_AS_INTERFACE* record) {
    vq7::DescriptorWalk walk(Configuration(), ConfigurationWalkBytes());
    vq7::InterfaceMatch match;
    match.number = record->interfaceNumber;
    match.interfaceClass = AudioInterfaceClass();
    match.subClass = kAudioStreamingSubclass;
    match.alternate = 1;
    const UCHAR* first = walk.FindInterface(walk.Begin(), match);
    if (first == nullptr || vq7::Field8(first, 4) == 0) {
        return STATUS_NOT_SUPPORTED;
    }
    const UCHAR* endpoint = walk.Find(walk.Next(first), walk.RegionEnd(first), vq7::kEndpointDescriptorType);
    if (endpoint == nullptr || vq7::DescriptorLength(endpoint) < vq7::kEndpointDescriptorBytes) {
        return STATUS_NOT_SUPPORTED;
    }
    record->inputFlag = (EndpointAddress(endpoint) & 0x80) ? 1 : 0;
    ULONG count = 2;
    for (; count <= 0xFF; ++count) {
        match.alternate = static_cast<LONG>(count);
        if (walk.FindInterface(walk.Begin(), match) == nullptr) {
            break;
        }
    }
    record->alternateCount = count;
    record->alternates =
        static_cast<USB_AS_ALTERNATE*>(vq7::AllocateZeroed(count * sizeof(USB_AS_ALTERNATE), vq7::kPoolTagUsba));
    if (record->alternates == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < count; ++i) {
        NTSTATUS status = ParseAlternate(record, i, &record->alternates[i]);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(record->alternates, vq7::kPoolTagUsba);
            record->alternates = nullptr;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::ParseAlternate(USB_AS_INTERFACE* record, ULONG alternate, USB_AS_ALTERNATE* into) {
    vq7::DescriptorWalk walk(Configuration(), ConfigurationWalkBytes());
    vq7::InterfaceMatch match;
    match.number = record->interfaceNumber;
    match.alternate = static_cast<LONG>(alternate);
    match.interfaceClass = AudioInterfaceClass();
    match.subClass = kAudioStreamingSubclass;
    const UCHAR* descriptor = walk.FindInterface(walk.Begin(), match);
    if (descriptor == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    into->interfaceDescriptor = descriptor;
    UCHAR claimed = vq7::Field8(descriptor, 4);
    if (claimed == 0) {
        return STATUS_SUCCESS;
    }
    const UCHAR* regionEnd = walk.RegionEnd(descriptor);
    // The endpoints that actually follow, however many the descriptor claims.
    auto nextEndpoint = [&](const UCHAR* after) -> const UCHAR* {
        for (const UCHAR* d = walk.Find(walk.Next(after), regionEnd, vq7::kEndpointDescriptorType); d != nullptr;
             d = walk.Find(walk.Next(d), regionEnd, vq7::kEndpointDescriptorType)) {
            if (vq7::DescriptorLength(d) >= vq7::kEndpointDescriptorBytes) {
                return d;
            }
        }
        return nullptr;
    };
    auto acceptableInterval = [this](const UCHAR* endpoint) {
        if ((EndpointAttributes(endpoint) & kTransferTypeMask) != kIsochronous) {
            return true;
        }
        UCHAR interval = vq7::Field8(endpoint, 6);
        return IsHighSpeed() ? interval < 5 : interval < 16;
    };
    const UCHAR* firstEndpoint = nextEndpoint(descriptor);
    if (classTwo_) {
        ULONG seen = 0;
        for (const UCHAR* endpoint = firstEndpoint; endpoint != nullptr && seen < claimed;
             endpoint = nextEndpoint(endpoint), ++seen) {
            UCHAR attributes = EndpointAttributes(endpoint);
            if (into->dataEndpoint == nullptr && (attributes & kUsageBitFeedbackOrImplicit) == 0 &&
                acceptableInterval(endpoint)) {
                into->dataEndpoint = endpoint;
            } else if (into->feedbackEndpoint == nullptr && (attributes & kUsageMask) == kUsageFeedback &&
                       acceptableInterval(endpoint)) {
                into->feedbackEndpoint = endpoint;
            }
        }
    } else if (firstEndpoint != nullptr && (EndpointAttributes(firstEndpoint) & kUsageBitFeedbackOrImplicit) == 0) {
        into->dataEndpoint = firstEndpoint;
        bool canSynch = vq7::DescriptorLength(firstEndpoint) >= kClassOneAudioEndpointBytes;
        UCHAR synchAddress = vq7::Field8(firstEndpoint, kClassOneSynchAddressOffset);
        ULONG seen = 1;
        for (const UCHAR* endpoint = nextEndpoint(firstEndpoint);
             canSynch && endpoint != nullptr && seen < claimed && into->feedbackEndpoint == nullptr;
             endpoint = nextEndpoint(endpoint), ++seen) {
            if (acceptableInterval(endpoint) && (EndpointAttributes(endpoint) & kSyncTypeMask) == 0 &&
                synchAddress == EndpointAddress(endpoint)) {
                into->feedbackEndpoint = endpoint;
            }
        }
    }
    into->general = walk.Find(walk.Next(descriptor), regionEnd, vq7::kClassInterfaceDescriptorType, kGeneralSubtype);
    into->format = walk.Find(walk.Next(descriptor), regionEnd, vq7::kClassInterfaceDescriptorType, kFormatTypeSubtype);
    if (into->dataEndpoint != nullptr) {
        into->dataEndpointGeneral = walk.Find(walk.Next(into->dataEndpoint), regionEnd,
                                              vq7::kClassEndpointDescriptorType, kEndpointGeneralSubtype);
    }
    return STATUS_SUCCESS;
}

// Every streaming interface names its terminal in alternate setting 1.
NTSTATUS CUSBAudioCL::LinkStreamTerminals() {
    for (USB_AS_INTERFACE* stream = streams_; stream != nullptr; stream = stream->next) {
        const UCHAR* general = stream->alternates[1].general;
        if (general == nullptr || kTerminalLinkOffset >= vq7::DescriptorLength(general)) {
            return STATUS_NOT_SUPPORTED;
        }
        stream->terminal = FindEntity(general[kTerminalLinkOffset]);
        if (stream->terminal == nullptr) {
            return STATUS_NOT_SUPPORTED;
        }
    }
    return STATUS_SUCCESS;
}

void CUSBAudioCL::ChooseStreams() {
    for (USB_AS_INTERFACE* stream = streams_; stream != nullptr; stream = stream->next) {
        if (stream->inputFlag && capture_ == nullptr) {
            capture_ = stream;
        } else if (!stream->inputFlag && render_ == nullptr) {
            render_ = stream;
        }
    }
    if (render_ == nullptr || capture_ == nullptr) {
        return;
    }
    if (!classTwo_) {
        sharedClock_ = 1;
        return;
    }
    CUSBAudioTerminal* renderTerminal = render_->terminal->AsTerminal();
    CUSBAudioTerminal* captureTerminal = capture_->terminal->AsTerminal();
    if (renderTerminal != nullptr && captureTerminal != nullptr &&
        renderTerminal->GetClockSourceID() != CUSBAudioEntity::kNone &&
        renderTerminal->GetClockSourceID() == captureTerminal->GetClockSourceID()) {
        sharedClock_ = 1;
    }
}

ULONG CUSBAudioCL::GetCurrentAlternate(UCHAR direction) const {
    USB_AS_INTERFACE* stream = Stream(direction);
    return stream != nullptr ? stream->currentAlternate : 0;
}
