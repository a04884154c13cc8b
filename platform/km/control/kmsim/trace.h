// A trace controller for tests: enables a provider and collects what it
// writes. With no session, providers are disabled and tracing costs only the
// enabled check. Setting VQ7_TRACE=<level> in the environment also prints
// every provider's events up to that level on stderr.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kmsim {

struct TraceRecord {
    GUID provider;
    UCHAR level;
    ULONGLONG keywords;
    int64_t time_ns;
    std::string text;  // UTF-8
};

class TraceSession {
public:
    TraceSession(const GUID& provider, UCHAR level, ULONGLONG keywords = ~0ULL);
    ~TraceSession();
    TraceSession(const TraceSession&) = delete;
    TraceSession& operator=(const TraceSession&) = delete;

    std::vector<TraceRecord> Records() const;
    bool Contains(const std::string& fragment) const;
};

}  // namespace kmsim
