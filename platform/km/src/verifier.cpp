#include "verifier.h"

#include "kernel_state.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#if __has_include(<backtrace.h>)
#include <backtrace.h>
#define KM_HAVE_LIBBACKTRACE 1
#endif

namespace km {

namespace {

std::string Demangle(const char* name) {
    if (name == nullptr) {
        return "?";
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = (status == 0 && demangled != nullptr) ? demangled : name;
    free(demangled);
    return result;
}

#if KM_HAVE_LIBBACKTRACE
backtrace_state* BacktraceState() {
    static backtrace_state* state = backtrace_create_state(nullptr, 1, nullptr, nullptr);
    return state;
}

struct Resolved {
    std::string function;  // qualified, from the symbol table
    std::string location;  // "file:line" of the innermost inlined frame, from the debug information
};

int OnPcInfo(void* data, uintptr_t, const char* filename, int lineno, const char* function) {
    auto* resolved = static_cast<Resolved*>(data);
    if (resolved->location.empty() && filename != nullptr) {
        resolved->location = std::string(filename) + ":" + std::to_string(lineno);
        if (resolved->function.empty() && function != nullptr) {
            resolved->function = Demangle(function);
        }
    }
    return 0;
}

void OnSymInfo(void* data, uintptr_t, const char* symname, uintptr_t, uintptr_t) {
    auto* resolved = static_cast<Resolved*>(data);
    if (symname != nullptr) {
        resolved->function = Demangle(symname);
    }
}

void OnError(void*, const char*, int) {}
#endif

}  // namespace

std::string CodeLocation(const void* pc) {
#if KM_HAVE_LIBBACKTRACE
    if (pc == nullptr) {
        return "";
    }
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    Resolved resolved;
    if (backtrace_state* state = BacktraceState()) {
        backtrace_pcinfo(state, reinterpret_cast<uintptr_t>(pc) - 1, OnPcInfo, OnError, &resolved);
    }
    return resolved.location;
#else
    (void)pc;
    return "";
#endif
}

std::string DescribeCodeAddress(const void* pc) {
    if (pc == nullptr) {
        return "?";
    }
    // The return address points after the call; look up the call itself.
    auto address = reinterpret_cast<uintptr_t>(pc) - 1;
#if KM_HAVE_LIBBACKTRACE
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    Resolved resolved;
    if (backtrace_state* state = BacktraceState()) {
        backtrace_syminfo(state, address, OnSymInfo, OnError, &resolved);
        backtrace_pcinfo(state, address, OnPcInfo, OnError, &resolved);
    }
    if (!resolved.function.empty()) {
        return resolved.location.empty() ? resolved.function : resolved.function + " (" + resolved.location + ")";
    }
#endif
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(address), &info) != 0 && info.dli_sname != nullptr) {
        return Demangle(info.dli_sname);
    }
    char buffer[32];
    snprintf(buffer, sizeof buffer, "%p", pc);
    return buffer;
}

void Stop(ULONG code, const void* caller, const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    fprintf(stderr, "\n*** STOP: 0x%08X\n*** %s\n*** caller: %s\n", code, message,
            DescribeCodeAddress(caller).c_str());
    if (HaveKernel() && K().serial) {
        fprintf(stderr, "*** interleaving seed: %llu (rerun with VQ7_SEED=%llu)\n",
                static_cast<unsigned long long>(K().seed), static_cast<unsigned long long>(K().seed));
    }
    void* frames[32];
    int count = backtrace(frames, 32);
    fprintf(stderr, "*** stack:\n");
    for (int i = 1; i < count; ++i) {
        fprintf(stderr, "    %s\n", DescribeCodeAddress(static_cast<char*>(frames[i]) + 1).c_str());
    }
    fflush(stderr);
    abort();
}

void RequireIrqlAtMost(KIRQL maximum, const void* caller, const char* function) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > maximum) {
        Stop(IRQL_NOT_LESS_OR_EQUAL, caller, "%s called at IRQL %u; it requires IRQL <= %u", function, irql,
             maximum);
    }
}

}  // namespace km

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    km::Stop(BugCheckCode, KM_CALLER, "KeBugCheckEx(0x%lX, 0x%lX, 0x%lX, 0x%lX)", static_cast<unsigned long>(P1),
             static_cast<unsigned long>(P2), static_cast<unsigned long>(P3), static_cast<unsigned long>(P4));
}

VOID NTAPI RtlFailFast(ULONG Code) {
    km::Stop(KERNEL_SECURITY_CHECK_FAILURE, KM_CALLER,
             Code == FAST_FAIL_CORRUPT_LIST_ENTRY ? "fail fast: corrupted list entry (code %u)" : "fail fast (code %u)",
             Code);
}
