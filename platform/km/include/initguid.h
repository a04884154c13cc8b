// Stand-in for <initguid.h>. DEFINE_GUID always defines its GUID here, so
// this header only has to exist for code that includes it.
#pragma once
#define INITGUID
