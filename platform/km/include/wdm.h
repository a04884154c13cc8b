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

#if defined(VQ7_FORBID_CRT_WIDE)
// The C library's wide-character functions assume a 32-bit wchar_t on this
// host; kernel code uses the Rtl string helpers instead.
#pragma GCC poison wcslen wcsnlen wcscpy wcsncpy wcscat wcsncat wcscmp wcsncmp wcschr wcsrchr wcsstr
#pragma GCC poison wcstol wcstoul wcstod wmemcpy wmemmove wmemset wmemcmp wmemchr
#pragma GCC poison swprintf vswprintf wprintf fwprintf towupper towlower iswalpha iswdigit iswspace
#pragma GCC poison _wcsicmp _wcsnicmp wcsicmp
#endif
