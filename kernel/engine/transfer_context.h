// One USB transfer of the engine's pipelines: a capture, render or feedback
// transfer with its buffer, from the adapter's transfer-context lookaside.
// Render contexts live for a render run and are resubmitted from completion
// to completion; capture and feedback contexts are reused the same way.
#pragma once

#include <ntddk.h>

namespace vq7 {

struct TransferContext {
    PVOID buffer;            // non-paged pool, tag "USBA"
    PMDL mdl;                // render only: built over `buffer`
    ULONG size;              // render: bytes of the next submission; else the buffer size
    ULONG startFrame;        // USB frame at which the completed transfer started
    ULONG completionFrame;   // USB frame when the completion arrived
    LONGLONG completionTime; // performance counter at completion
    NTSTATUS status;         // completion status
    ULONG length;            // bytes transferred
    ULONG duration;          // milliseconds the packets covered (recorded only)
    PVOID adapter;           // the owning engine
    ULONG feedbackUsed;      // render: the feedback value the size came from
    LIST_ENTRY link;         // render free list or a completion list
    LIST_ENTRY asioMixerLink;    // on the ASIO render mixer's packet list
    LIST_ENTRY waveRtMixerLink;  // on the WaveRT render mixer's packet list
    PIO_WORKITEM workItem;   // set while a failed transfer waits for its work item
    BOOLEAN inFlight;        // render: from submission to completion
    UCHAR index;             // render: position in the render context set
};

}  // namespace vq7
