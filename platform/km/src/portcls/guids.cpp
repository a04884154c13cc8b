// The one unit that defines the GUIDs the PortCls and KS headers declare,
// as weak copies: a driver that defines them itself takes their place.

#define KMSIM_WEAK_GUIDS
#include <initguid.h>

#include <ks.h>
#include <ksmedia.h>
#include <portcls.h>
#include <punknown.h>

#include "portcls_internal.h"

namespace pc {

// Any value will do: no driver asks for it.
const GUID IID_ISubdevice = {0x6a1b4e62, 0x0c35, 0x4b6f, {0x9d, 0x1a, 0x57, 0x2e, 0x80, 0x3b, 0x11, 0xc4}};

}  // namespace pc
