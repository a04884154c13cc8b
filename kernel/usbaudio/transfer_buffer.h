// Where a transfer's data lies in system space: its buffer, or the system
// address of its MDL (mapped when needed); null when neither can be had.
#pragma once

#include <ntddk.h>

#include "common/pool.h"

namespace vq7 {

// IRQL <= DISPATCH_LEVEL.
inline UCHAR* TransferBufferAddress(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr) {
        return static_cast<UCHAR*>(buffer);
    }
    return mdl != nullptr ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, MappingPriority())) : nullptr;
}

}  // namespace vq7
