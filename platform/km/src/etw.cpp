// Event tracing: provider registrations and the test trace session.

#include <cstdlib>
#include <map>
#include <mutex>

#include "kernel_state.h"
#include "kmsim/trace.h"
#include "verifier.h"
#include "wide_text.h"

namespace {

struct Provider {
    GUID id;
    PETWENABLECALLBACK callback;
    PVOID context;
};

struct Session {
    GUID provider;
    UCHAR level;
    ULONGLONG keywords;
    std::vector<kmsim::TraceRecord> records;
};

std::mutex g_traceLock;
std::map<REGHANDLE, Provider> g_providers;
REGHANDLE g_nextHandle = 0;
Session* g_session = nullptr;

UCHAR StderrLevel() {
    static const UCHAR level = [] {
        const char* text = getenv("VQ7_TRACE");
        return static_cast<UCHAR>(text != nullptr ? atoi(text) : 0);
    }();
    return level;
}

bool EnabledLocked(const Provider& provider, UCHAR level, ULONGLONG keyword) {
    if (level != 0 && level <= StderrLevel()) {
        return true;
    }
    return g_session != nullptr && IsEqualGUID(g_session->provider, provider.id) &&
           (level == 0 || level <= g_session->level) && (keyword == 0 || (keyword & g_session->keywords) != 0);
}

}  // namespace

namespace km {

void EtwReset() {
    std::lock_guard<std::mutex> guard(g_traceLock);
    g_providers.clear();
}

void EtwReportLeaks(std::string& report) {
    std::lock_guard<std::mutex> guard(g_traceLock);
    if (!g_providers.empty()) {
        report += "  " + std::to_string(g_providers.size()) + " trace provider(s) still registered\n";
    }
}

}  // namespace km

NTSTATUS NTAPI EtwRegister(LPCGUID ProviderId, PETWENABLECALLBACK EnableCallback, PVOID CallbackContext,
                           PREGHANDLE RegHandle) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "EtwRegister");
    std::lock_guard<std::mutex> guard(g_traceLock);
    REGHANDLE handle = ++g_nextHandle;
    g_providers[handle] = Provider{*ProviderId, EnableCallback, CallbackContext};
    *RegHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI EtwUnregister(REGHANDLE RegHandle) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "EtwUnregister");
    std::lock_guard<std::mutex> guard(g_traceLock);
    return g_providers.erase(RegHandle) != 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

BOOLEAN NTAPI EtwProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword) {
    std::lock_guard<std::mutex> guard(g_traceLock);
    auto found = g_providers.find(RegHandle);
    return found != g_providers.end() && EnabledLocked(found->second, Level, Keyword) ? TRUE : FALSE;
}

NTSTATUS NTAPI EtwWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, LPCGUID, PCWSTR String) {
    std::lock_guard<std::mutex> guard(g_traceLock);
    auto found = g_providers.find(RegHandle);
    if (found == g_providers.end()) {
        return STATUS_INVALID_HANDLE;
    }
    if (!EnabledLocked(found->second, Level, Keyword)) {
        return STATUS_SUCCESS;
    }
    std::string text = km::Utf8(String);
    int64_t now = km::HaveKernel() ? km::K().Now() : 0;
    if (Level != 0 && Level <= StderrLevel()) {
        fprintf(stderr, "[%12.6f] %u %s\n", static_cast<double>(now) / 1e9, Level, text.c_str());
    }
    if (g_session != nullptr && IsEqualGUID(g_session->provider, found->second.id)) {
        g_session->records.push_back(kmsim::TraceRecord{found->second.id, Level, Keyword, now, std::move(text)});
    }
    return STATUS_SUCCESS;
}

namespace kmsim {

TraceSession::TraceSession(const GUID& provider, UCHAR level, ULONGLONG keywords) {
    std::lock_guard<std::mutex> guard(g_traceLock);
    g_session = new Session{provider, level, keywords, {}};
}

TraceSession::~TraceSession() {
    std::lock_guard<std::mutex> guard(g_traceLock);
    delete g_session;
    g_session = nullptr;
}

std::vector<TraceRecord> TraceSession::Records() const {
    std::lock_guard<std::mutex> guard(g_traceLock);
    return g_session->records;
}

bool TraceSession::Contains(const std::string& fragment) const {
    for (const TraceRecord& record : Records()) {
        if (record.text.find(fragment) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace kmsim
