// Stand-in for <guiddef.h>: GUID with its published 16-byte layout, and
// DEFINE_GUID, which declares a GUID, or defines it in the unit that set
// INITGUID first (through <initguid.h>).
#ifndef GUID_DEFINED
#define GUID_DEFINED

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

inline int IsEqualGUID(REFGUID a, REFGUID b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline int InlineIsEqualGUID(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b) != 0; }
inline bool operator!=(REFGUID a, REFGUID b) { return !(a == b); }

#endif  // GUID_DEFINED

// Outside the guard, as the platform's: <initguid.h> includes this header
// again after setting INITGUID, and DEFINE_GUID then defines.
#undef DEFINE_GUID
#ifdef INITGUID
// The platform marks the definition selectany, so that copies in several
// units fold into one. Here it is an ordinary definition: a GUID defined in
// two units is a duplicate symbol at link time, so each GUID has one home.
// The stand-in's own copies (KMSIM_WEAK_GUIDS, set only by the stand-in's
// sources) are weak, so that a driver's definition takes their place.
#ifdef KMSIM_WEAK_GUIDS
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#endif
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) extern "C" const GUID name
#endif
