// Stand-in for <drmk.h>: the record an audio driver fills so that protected
// content can be forwarded to the device object below it.
#pragma once

#include <wdm.h>

#include <stddef.h>

typedef struct tagDRMFORWARD {
    DWORD Flags;                  // no flags are defined: 0
    PDEVICE_OBJECT DeviceObject;  // the device object that receives the content ID
    PFILE_OBJECT FileObject;
    PVOID Context;  // a value the driver and the receiver agree on
} DRMFORWARD, *PDRMFORWARD;

typedef const DRMFORWARD* PCDRMFORWARD;

static_assert(sizeof(DRMFORWARD) == 32, "DRMFORWARD layout");
static_assert(offsetof(DRMFORWARD, DeviceObject) == 8, "DRMFORWARD layout");
static_assert(offsetof(DRMFORWARD, FileObject) == 16, "DRMFORWARD layout");
static_assert(offsetof(DRMFORWARD, Context) == 24, "DRMFORWARD layout");
