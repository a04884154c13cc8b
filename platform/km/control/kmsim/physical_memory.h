// The simulated physical address behind host memory that pages allocated
// for an MDL provide (a WaveRT buffer, for one), so that a test can check
// the bounds the allocation was made under.
#pragma once

#include <wdm.h>

namespace kmsim {

// 0 when `host` lies in no such page.
ULONGLONG PhysicalAddressOf(const void* host);

}  // namespace kmsim
