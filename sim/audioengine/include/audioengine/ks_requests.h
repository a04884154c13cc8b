// Kernel-streaming property requests as a user-mode client sends them:
// IOCTL_KS_PROPERTY on a filter or pin handle, the request record
// (KSPROPERTY, KSP_PIN or KSNODEPROPERTY) as input, the value as output.
// Variable-sized answers are read the way the platform's own clients read
// them: first a GET with no value buffer, which answers
// STATUS_BUFFER_OVERFLOW with the size needed, then a GET of that size.
#pragma once

#include <ksmedia.h>

#include <cstdint>
#include <vector>

#include "kmsim/client.h"

namespace audioengine {

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags = KSPROPERTY_TYPE_GET);
KSP_PIN PinProperty(const GUID& set, ULONG id, ULONG pin, ULONG flags = KSPROPERTY_TYPE_GET);
// A node request carries KSPROPERTY_TYPE_TOPOLOGY beside the verb.
KSNODEPROPERTY NodeProperty(const GUID& set, ULONG id, ULONG node, ULONG flags = KSPROPERTY_TYPE_GET);

// A node's channel request: the node record followed by the channel, as
// the audio properties of a volume or mute node take it.
struct NodeChannelProperty {
    KSNODEPROPERTY node;
    LONG channel;
    ULONG reserved;
};
static_assert(sizeof(NodeChannelProperty) == 40, "KSNODEPROPERTY_AUDIO_CHANNEL layout");

class KsHandle {
public:
    KsHandle(kmsim::Client& client, HANDLE handle) : client_(client), handle_(handle) {}

    HANDLE Handle() const { return handle_; }

    // One request; `returned` (optional) gets the bytes the driver reported.
    NTSTATUS Send(const void* request, ULONG requestBytes, void* value, ULONG valueBytes,
                  ULONG* returned = nullptr) const;
    template <typename Request, typename Value>
    NTSTATUS Get(const Request& request, Value* value) const {
        return Send(&request, sizeof request, value, sizeof *value);
    }
    template <typename Request, typename Value>
    NTSTATUS Set(const Request& request, const Value& value) const {
        return Send(&request, sizeof request, const_cast<Value*>(&value), sizeof value);
    }
    // The size negotiation, then the value.
    NTSTATUS GetVariable(const void* request, ULONG requestBytes, std::vector<uint8_t>* value) const;

private:
    kmsim::Client& client_;
    HANDLE handle_;
};

}  // namespace audioengine
