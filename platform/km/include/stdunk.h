// Stand-in for <stdunk.h>: the non-delegating unknown and PortCls's CUnknown
// base, which counts references and lets an object be aggregated, with the
// helper macros drivers declare their objects with.
#pragma once

#include <punknown.h>

DECLARE_INTERFACE(INonDelegatingUnknown) {
    STDMETHOD_(NTSTATUS, NonDelegatingQueryInterface)(THIS_ REFIID InterfaceId, PVOID* Interface) PURE;
    STDMETHOD_(ULONG, NonDelegatingAddRef)(THIS) PURE;
    STDMETHOD_(ULONG, NonDelegatingRelease)(THIS) PURE;

protected:
    ~INonDelegatingUnknown() = default;  // never deleted through an interface
};
typedef INonDelegatingUnknown* PNONDELEGATINGUNKNOWN;

// The reference-counted base. Without an outer unknown the object is its own
// outer unknown: the non-delegating face, whose slots line up with
// IUnknown's, stands in for it. The last NonDelegatingRelease deletes the
// object.
//
// Objects are allocated from pool with `new (PoolType, Tag) Class(outer)`
// (zeroed memory) and freed by `delete`. The platform's header declares
// those operators globally; here they are members of CUnknown, because a
// global operator delete would take over the host's own allocations.
class CUnknown : public INonDelegatingUnknown {
private:
    LONG m_lRefCount;
    PUNKNOWN m_pUnknownOuter;

public:
    CUnknown(PUNKNOWN pUnknownOuter);
    virtual ~CUnknown();
    CUnknown(const CUnknown&) = delete;
    CUnknown& operator=(const CUnknown&) = delete;

    PUNKNOWN GetOuterUnknown() { return m_pUnknownOuter; }

    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID rIID, PVOID* ppVoid) override;

    static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void* operator new(size_t size, POOL_TYPE poolType) noexcept;  // tag 'PcNw'
    static void operator delete(void* block) noexcept;
    static void operator delete(void* block, POOL_TYPE, ULONG) noexcept;
    static void operator delete(void* block, POOL_TYPE) noexcept;
    static void* operator new(size_t) = delete;
    static void* operator new[](size_t) = delete;
};

// The IUnknown slots of a derived interface, forwarded to the outer unknown,
// and the non-delegating QueryInterface the class implements.
#define DECLARE_STD_UNKNOWN()                                                                 \
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) override; \
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID riid, void** ppv) override {                 \
        return GetOuterUnknown()->QueryInterface(riid, ppv);                                  \
    }                                                                                         \
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }            \
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }

#define DEFINE_STD_CONSTRUCTOR(Class) \
    Class(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter) {}

#define QICAST(Type) PVOID((Type)(this))
#define QICASTUNKNOWN(Type) PVOID(PUNKNOWN((Type)(this)))

// The body of a create function: a new object from pool, referenced once and
// returned through its IUnknown face.
#define STD_CREATE_BODY_WITH_TAG_(Class, Unknown, OuterUnknown, PoolType, Tag, Base) \
    Class* p = new (PoolType, Tag) Class(OuterUnknown);                             \
    if (!p) {                                                                       \
        return STATUS_INSUFFICIENT_RESOURCES;                                       \
    }                                                                               \
    *Unknown = PUNKNOWN((Base)(p));                                                 \
    (*Unknown)->AddRef();                                                           \
    return STATUS_SUCCESS

#define STD_CREATE_BODY_WITH_TAG(Class, Unknown, OuterUnknown, PoolType, Tag) \
    STD_CREATE_BODY_WITH_TAG_(Class, Unknown, OuterUnknown, PoolType, Tag, PUNKNOWN)
#define STD_CREATE_BODY_(Class, Unknown, OuterUnknown, PoolType, Base) \
    STD_CREATE_BODY_WITH_TAG_(Class, Unknown, OuterUnknown, PoolType, 0x72436350 /* 'PcCr' */, Base)
#define STD_CREATE_BODY(Class, Unknown, OuterUnknown, PoolType) \
    STD_CREATE_BODY_(Class, Unknown, OuterUnknown, PoolType, PUNKNOWN)
