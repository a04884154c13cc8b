// Stand-in for <punknown.h>: the kernel's COM-style IUnknown, whose
// QueryInterface returns an NTSTATUS, and the macros interfaces are declared
// with.
#pragma once

#include <wdm.h>

typedef LONG HRESULT;

#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual NTSTATUS STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP NTSTATUS STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0
#define THIS_
#define THIS void
#define DECLSPEC_NOVTABLE
#define DECLARE_INTERFACE(iface) struct DECLSPEC_NOVTABLE iface
#define DECLARE_INTERFACE_(iface, baseiface) struct DECLSPEC_NOVTABLE iface : public baseiface

DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

// Interfaces have no virtual destructor (objects go with their last Release);
// a protected one keeps anybody from deleting through an interface.
DECLARE_INTERFACE(IUnknown) {
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID* Interface) PURE;
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;
    STDMETHOD_(ULONG, Release)(THIS) PURE;

protected:
    ~IUnknown() = default;  // never deleted through an interface
};
typedef IUnknown* PUNKNOWN;

// The three IUnknown slots every derived interface starts with.
#define DEFINE_ABSTRACT_UNKNOWN()                                                  \
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE; \
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;                                          \
    STDMETHOD_(ULONG, Release)(THIS) PURE;

typedef HRESULT(NTAPI* PFNCREATEINSTANCE)(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                          POOL_TYPE PoolType);
