// Stand-in for the Windows Driver Model header <wdm.h>. Kernel code includes
// it exactly as on Windows; the declarations follow the published names,
// parameters and x64 layouts, and platform/km/src implements them on POSIX.
// The content is split by kernel component to keep each piece readable.
#pragma once

#include <new>

#include <ntdef.h>
#include <ntstatus.h>

#include <wdm/rtl.h>
#include <wdm/ke.h>
#include <wdm/ex.h>
#include <wdm/ob_ps.h>
#include <wdm/po.h>
#include <wdm/io.h>
#include <wdm/cm.h>
#include <wdm/mm.h>
#include <wdm/etw.h>
