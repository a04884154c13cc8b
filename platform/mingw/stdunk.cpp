// CUnknown for the Windows build: the platform ships it compiled in its
// stdunk library, which mingw-w64 does not have. The reference count, the
// non-delegating unknown and the object's own outer unknown, as the
// platform's stdunk.h declares them, and the kernel's deallocation for the
// deleting destructors of CUnknown's descendants.
#include <ntddk.h>
#include <stdunk.h>

#include <new>

CUnknown::CUnknown(PUNKNOWN pUnknownOuter)
    : m_ref_count(0),
      m_outer_unknown(pUnknownOuter != nullptr ? pUnknownOuter
                                                : reinterpret_cast<PUNKNOWN>(static_cast<PNONDELEGATINGUNKNOWN>(this))) {}

CUnknown::~CUnknown() = default;

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_ref_count)); }

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
    LONG count = InterlockedDecrement(&m_ref_count);
    if (count == 0) {
        m_ref_count = 1;  // a QueryInterface from the destructor must not delete again
        delete this;
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP_(NTSTATUS) CUnknown::NonDelegatingQueryInterface(REFIID rIID, PVOID* ppVoid) {
    if (IsEqualGUID(rIID, IID_IUnknown)) {
        *ppVoid = reinterpret_cast<PVOID>(static_cast<PNONDELEGATINGUNKNOWN>(this));
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    *ppVoid = nullptr;
    return STATUS_INVALID_PARAMETER;
}

// Objects come from stdunk.h's pool operator new; the compiler's deleting
// destructors ask for these forms.
void operator delete(void* block, size_t) noexcept { ExFreePool(block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { ExFreePool(block); }
