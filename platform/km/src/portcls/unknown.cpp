// CUnknown: the reference count and non-delegating unknown PortCls gives
// the objects of a driver, with the pool operators they are allocated with.
// Live objects are counted so that teardown can name any still referenced.

#include <map>
#include <mutex>

#include "../kernel_state.h"
#include "kmsim/portcls.h"
#include "portcls_internal.h"

namespace {

std::mutex g_liveLock;
std::map<const CUnknown*, const LONG*> g_live;  // object -> its reference count

constexpr ULONG kDefaultTag = 0x774E6350;  // 'PcNw'

}  // namespace

CUnknown::CUnknown(PUNKNOWN pUnknownOuter)
    : m_lRefCount(0),
      m_pUnknownOuter(pUnknownOuter != nullptr ? pUnknownOuter
                                               : reinterpret_cast<PUNKNOWN>(static_cast<PNONDELEGATINGUNKNOWN>(this))) {
    std::lock_guard<std::mutex> guard(g_liveLock);
    g_live[this] = &m_lRefCount;
}

CUnknown::~CUnknown() {
    std::lock_guard<std::mutex> guard(g_liveLock);
    g_live.erase(this);
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount));
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
    LONG remaining = InterlockedDecrement(&m_lRefCount);
    if (remaining == 0) {
        m_lRefCount = 1;  // a destructor that takes and drops a reference must not come back here
        delete this;
        return 0;
    }
    return static_cast<ULONG>(remaining);
}

STDMETHODIMP_(NTSTATUS) CUnknown::NonDelegatingQueryInterface(REFIID rIID, PVOID* ppVoid) {
    if (IsEqualGUID(rIID, IID_IUnknown)) {
        *ppVoid = static_cast<PVOID>(static_cast<PNONDELEGATINGUNKNOWN>(this));
        reinterpret_cast<PUNKNOWN>(*ppVoid)->AddRef();
        return STATUS_SUCCESS;
    }
    *ppVoid = nullptr;
    return STATUS_INVALID_PARAMETER;
}

void* CUnknown::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept {
    void* block = ExAllocatePoolWithTag(poolType, size, tag);
    if (block != nullptr) {
        RtlZeroMemory(block, size);
    }
    return block;
}

void* CUnknown::operator new(size_t size, POOL_TYPE poolType) noexcept { return operator new(size, poolType, kDefaultTag); }

void CUnknown::operator delete(void* block) noexcept {
    if (block != nullptr) {
        ExFreePool(block);
    }
}

void CUnknown::operator delete(void* block, POOL_TYPE, ULONG) noexcept { operator delete(block); }

void CUnknown::operator delete(void* block, POOL_TYPE) noexcept { operator delete(block); }

namespace km {

void ComReportLeaks(std::string& report) {
    std::lock_guard<std::mutex> guard(g_liveLock);
    char line[120];
    for (auto& [object, count] : g_live) {
        snprintf(line, sizeof line, "  COM object at %p still has %ld reference(s)\n",
                 static_cast<const void*>(object), static_cast<long>(*count));
        report += line;
    }
}

}  // namespace km

namespace kmsim {

size_t LiveComObjects() {
    std::lock_guard<std::mutex> guard(g_liveLock);
    return g_live.size();
}

}  // namespace kmsim
