// Stand-in for <guiddef.h>: GUID with its published 16-byte layout.
#pragma once

#include <string.h>

typedef struct _GUID {
    unsigned int Data1;  // ULONG
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;

typedef GUID IID;
typedef GUID CLSID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef GUID* LPGUID;

static_assert(sizeof(GUID) == 16, "GUID layout");

// Every DEFINE_GUID defines the GUID as one inline object, so that it links
// whether or not the including unit defined INITGUID first.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

inline int IsEqualGUID(REFGUID a, REFGUID b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline int InlineIsEqualGUID(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b) != 0; }
inline bool operator!=(REFGUID a, REFGUID b) { return !(a == b); }
