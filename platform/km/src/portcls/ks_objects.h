// The kernel-streaming objects PortCls opens on a subdevice: a filter (a
// file object opened on the subdevice's reference string) and its pins (file
// objects created relative to the filter's). Each file object's FsContext
// points at its object; the dispatch routine finds it there and checks it
// against the live ones before using it.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "portcls_internal.h"

namespace pc {

struct KsObject {
    enum class Kind { Filter, Pin };
    Kind kind;
};

struct Filter : KsObject {
    ISubdevice* port;                      // referenced while the filter is open
    std::mutex lock;                       // guards pinInstances
    std::map<ULONG, ULONG> pinInstances;   // pin id -> instances open on this filter
};

// One pin instance and the miniport stream behind it. It holds its own
// references on the port and the miniport, so that a subdevice taken down
// under it (the port drops its miniport) leaves it working until it closes.
struct Pin : KsObject {
    Filter* filter;                            // the pin's file object holds the filter's
    ISubdevice* port;                          // referenced
    PMINIPORTWAVERT miniport;                  // referenced
    const PCFILTER_DESCRIPTOR* descriptor;     // the miniport's; lives as long as it
    ULONG id;
    BOOLEAN capture;
    PKSDATAFORMAT format;                      // PortCls's copy of the connection's format
    PPORTWAVERTSTREAM portStream;              // referenced
    PMINIPORTWAVERTSTREAM stream;              // referenced
    PMINIPORTWAVERTSTREAMNOTIFICATION notification;  // referenced, or null when the stream has no such face
    KMUTEX lock;                               // serialises the pin's property requests and its close
    KSSTATE state;
    PMDL bufferMdl;                            // the cyclic buffer, or null
    ULONG bufferSize;
    BOOLEAN bufferWithNotification;
    std::vector<PKEVENT> events;               // registered notification events, referenced
};

// The live object behind a file object, or null.
KsObject* ObjectOf(PFILE_OBJECT file);
void RememberObject(KsObject* object);
void ForgetObject(KsObject* object);

// IRP_MJ_CREATE relative to a filter's file object: a pin (pin_create.cpp).
NTSTATUS CreatePin(Filter& filter, PFILE_OBJECT file);
// IRP_MJ_CLOSE of a pin: steps it down, frees its buffer and lets it go.
void ClosePin(Pin* pin);

// Frees the pin's cyclic buffer, if it has one (pin_properties.cpp).
void FreePinBuffer(Pin& pin);

// The pin's state moved one adjacent step at a time towards `target`
// (pin_state.cpp). The first step the stream refuses ends it there.
NTSTATUS StepPinState(Pin& pin, KSSTATE target);

// IOCTL_KS_PROPERTY on a filter or a pin (property_dispatch.cpp); sets
// Information.
NTSTATUS HandleProperty(KsObject& object, PIRP irp);

// The record of pin `id` in a filter description: PinSize bytes apart.
inline const PCPIN_DESCRIPTOR& PinDescriptorAt(const PCFILTER_DESCRIPTOR& filter, ULONG id) {
    return *reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter.Pins) +
                                                      static_cast<SIZE_T>(id) * filter.PinSize);
}

inline const PCNODE_DESCRIPTOR& NodeDescriptorAt(const PCFILTER_DESCRIPTOR& filter, ULONG id) {
    return *reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter.Nodes) +
                                                       static_cast<SIZE_T>(id) * filter.NodeSize);
}

}  // namespace pc
