// Data formats against a pin's data ranges, as PortCls judges them: at pin
// creation (does the format fall inside one of the ranges?) and for the
// data-intersection property (does a client's range meet one of the pin's,
// and what format does PortCls propose when the miniport leaves it to it?).
#pragma once

#include "portcls_internal.h"

namespace pc {

// Entry i of a pin's range list is an attribute list, not a range: the entry
// before it is flagged KSDATARANGE_ATTRIBUTES.
bool IsAttributeListEntry(const KSPIN_DESCRIPTOR& pin, ULONG i);

// The format (whose FormatSize the caller has checked against its buffer)
// is one the range accepts.
bool FormatInRange(const KSDATAFORMAT& format, const KSDATARANGE& range);

// The major format, subformat and specifier of two ranges agree (either
// side may be a wildcard).
bool RangesMeet(const KSDATARANGE& client, const KSDATARANGE& pin);

// PortCls's own intersection when the miniport has none: for wave ranges
// the largest channel count, bits and rate both allow, as a
// KSDATAFORMAT followed by a WAVEFORMATEX; for others the pin's range as a
// format. STATUS_BUFFER_OVERFLOW with the size in *length when
// `outputLength` is 0, STATUS_BUFFER_TOO_SMALL when short, STATUS_NO_MATCH.
NTSTATUS DefaultIntersection(const KSDATARANGE& client, const KSDATARANGE& pin, ULONG outputLength, PVOID output,
                             PULONG length);

}  // namespace pc
