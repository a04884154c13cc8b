// UTF-16 text of the simulated kernel as UTF-8, for traces, reports and
// tests; the host's wide-character functions cannot read the 16-bit WCHAR.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <string>

namespace kmsim {

// `count` UTF-16 code units; a lone surrogate becomes U+FFFD.
std::string Utf8(PCWSTR text, size_t count);

}  // namespace kmsim
