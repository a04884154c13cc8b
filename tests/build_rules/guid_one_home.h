// A GUID for the link cases of DEFINE_GUID: declared wherever this header is
// included, defined in the unit that includes <initguid.h> first.
#pragma once

#include <guiddef.h>

// {3D5B7E1A-6C2F-4A90-8B14-E7A2C9D0F561}
DEFINE_GUID(kOneHome, 0x3d5b7e1a, 0x6c2f, 0x4a90, 0x8b, 0x14, 0xe7, 0xa2, 0xc9, 0xd0, 0xf5, 0x61);

const GUID* ReadOneHome();
