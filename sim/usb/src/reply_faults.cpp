#include "simusb/reply_faults.h"

#include <algorithm>

#include "simusb/byte_order.h"

namespace simusb {

namespace {

void ApplyAction(const ReplyFault& fault, ControlReply& reply) {
    switch (fault.action) {
    case ReplyFault::Action::Truncate:
        if (reply.data.size() > fault.keep) reply.data.resize(fault.keep);
        break;
    case ReplyFault::Action::Patch:
        for (size_t i = 0; i < fault.bytes.size() && fault.offset + i < reply.data.size(); ++i) {
            reply.data[fault.offset + i] = fault.bytes[i];
        }
        break;
    case ReplyFault::Action::Replace:
        reply.stall = false;
        reply.data = fault.bytes;
        break;
    case ReplyFault::Action::Stall:
        reply.stall = true;
        reply.data.clear();
        break;
    }
}

ReplyFault Make(const RequestMatch& match, uint32_t occurrence, ReplyFault::Action action) {
    ReplyFault fault;
    fault.match = match;
    fault.occurrence = occurrence;
    fault.action = action;
    return fault;
}

}  // namespace

ReplyFault TruncateReply(const RequestMatch& match, size_t keep, uint32_t occurrence) {
    ReplyFault fault = Make(match, occurrence, ReplyFault::Action::Truncate);
    fault.keep = keep;
    return fault;
}

ReplyFault PatchReply(const RequestMatch& match, size_t offset, std::vector<uint8_t> bytes, uint32_t occurrence) {
    ReplyFault fault = Make(match, occurrence, ReplyFault::Action::Patch);
    fault.offset = offset;
    fault.bytes = std::move(bytes);
    return fault;
}

ReplyFault ReplaceReply(const RequestMatch& match, std::vector<uint8_t> bytes, uint32_t occurrence) {
    ReplyFault fault = Make(match, occurrence, ReplyFault::Action::Replace);
    fault.bytes = std::move(bytes);
    return fault;
}

ReplyFault StallRequest(const RequestMatch& match, uint32_t occurrence) {
    return Make(match, occurrence, ReplyFault::Action::Stall);
}

ReplyFault TotalLengthReads(uint16_t value, uint8_t index) {
    constexpr size_t kTotalLengthOffset = 2;
    return PatchReply(match::ConfigurationDescriptor(index), kTotalLengthOffset, LeBytes(value, 2));
}

void ReplyFaults::Apply(const Setup& setup, ControlReply& reply) {
    for (Armed& armed : armed_) {
        if (!armed.fault.match.Matches(setup)) continue;
        ++armed.seen;
        if (armed.fault.occurrence == 0 || armed.fault.occurrence == armed.seen) ApplyAction(armed.fault, reply);
    }
    if (hook_) hook_(setup, reply);
}

}  // namespace simusb
