// Stand-in for <ntstrsafe.h>: bounded string copy, concatenation, length and
// formatting for the kernel. Counts are in characters (Cch) or bytes (Cb);
// every result is terminated, and truncation is STATUS_BUFFER_OVERFLOW.
#pragma once

#include <stdarg.h>

#include <wdm.h>

#define NTSTRSAFE_MAX_CCH 2147483647

NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList);

namespace ntstrsafe_detail {

template <typename C>
inline NTSTATUS Length(const C* psz, size_t cchMax, size_t* pcchLength) {
    if (psz == nullptr || cchMax == 0 || cchMax > NTSTRSAFE_MAX_CCH) {
        if (pcchLength != nullptr) *pcchLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = 0;
    while (n < cchMax && psz[n] != 0) ++n;
    if (n == cchMax) {
        if (pcchLength != nullptr) *pcchLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (pcchLength != nullptr) *pcchLength = n;
    return STATUS_SUCCESS;
}

template <typename C>
inline NTSTATUS CopyN(C* pszDest, size_t cchDest, const C* pszSrc, size_t cchToCopy) {
    if (pszDest == nullptr || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t i = 0;
    while (i + 1 < cchDest && i < cchToCopy && pszSrc != nullptr && pszSrc[i] != 0) {
        pszDest[i] = pszSrc[i];
        ++i;
    }
    pszDest[i] = 0;
    bool truncated = pszSrc != nullptr && i < cchToCopy && pszSrc[i] != 0;
    return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename C>
inline NTSTATUS Cat(C* pszDest, size_t cchDest, const C* pszSrc) {
    size_t used = 0;
    NTSTATUS status = Length(pszDest, cchDest, &used);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CopyN(pszDest + used, cchDest - used, pszSrc, NTSTRSAFE_MAX_CCH);
}

}  // namespace ntstrsafe_detail

inline NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return ntstrsafe_detail::Length(psz, cchMax, pcchLength);
}
inline NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength) {
    return ntstrsafe_detail::Length(psz, cchMax, pcchLength);
}
inline NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    return ntstrsafe_detail::CopyN(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
inline NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc) {
    return ntstrsafe_detail::CopyN(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
inline NTSTATUS RtlStringCchCopyNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToCopy) {
    return ntstrsafe_detail::CopyN(pszDest, cchDest, pszSrc, cchToCopy);
}
inline NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    return ntstrsafe_detail::Cat(pszDest, cchDest, pszSrc);
}
inline NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc) {
    return ntstrsafe_detail::Cat(pszDest, cchDest, pszSrc);
}
inline NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
    return RtlStringCchCopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}
inline NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
    return RtlStringCchCatW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}
inline NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    size_t cch = 0;
    NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &cch);
    if (pcbLength != nullptr) *pcbLength = cch * sizeof(WCHAR);
    return status;
}
inline NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}
inline NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfA(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}
inline NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}
