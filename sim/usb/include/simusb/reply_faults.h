// Edits a device applies to its own control replies, so that a test builds a
// hostile variant of any device in a line: a second configuration read that
// comes back short, a wTotalLength that lies, a RANGE reply shorter than its
// wNumSubRanges claims, a request that stalls. Anything the edits cannot
// express goes through a hook that may rewrite the reply freely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "simusb/device.h"
#include "simusb/request_log.h"

namespace simusb {

struct ReplyFault {
    enum class Action {
        Truncate,  // the reply carries at most `keep` bytes
        Patch,     // `bytes` overwrite the reply from `offset` (what lies past its end is dropped)
        Replace,   // the reply is `bytes`, and does not stall
        Stall,
    };
    RequestMatch match;
    uint32_t occurrence = 0;  // which matching request it hits, counted from 1; 0 hits every one
    Action action = Action::Truncate;
    size_t keep = 0;
    size_t offset = 0;
    std::vector<uint8_t> bytes;
};

ReplyFault TruncateReply(const RequestMatch& match, size_t keep, uint32_t occurrence = 0);
ReplyFault PatchReply(const RequestMatch& match, size_t offset, std::vector<uint8_t> bytes, uint32_t occurrence = 0);
ReplyFault ReplaceReply(const RequestMatch& match, std::vector<uint8_t> bytes, uint32_t occurrence = 0);
ReplyFault StallRequest(const RequestMatch& match, uint32_t occurrence = 0);
// Every read of configuration `index` reports wTotalLength `value`.
ReplyFault TotalLengthReads(uint16_t value, uint8_t index = 0);

// Sees every reply after the edits, before the data is cut to wLength.
using ReplyHook = std::function<void(const Setup&, ControlReply&)>;

class ReplyFaults {
public:
    void Add(const ReplyFault& fault) { armed_.push_back(Armed{fault, 0}); }
    void SetHook(ReplyHook hook) { hook_ = std::move(hook); }
    void Apply(const Setup& setup, ControlReply& reply);

private:
    struct Armed {
        ReplyFault fault;
        uint32_t seen;  // matching requests so far
    };
    std::vector<Armed> armed_;
    ReplyHook hook_;
};

}  // namespace simusb
