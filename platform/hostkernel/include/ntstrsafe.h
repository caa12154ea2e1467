/* Bounded string formatting and copying for kernel code (<ntstrsafe.h>): results are always
   terminated, and truncation is reported as STATUS_BUFFER_OVERFLOW. */
#ifndef _NTSTRSAFE_H_INCLUDED_
#define _NTSTRSAFE_H_INCLUDED_

#include <stdarg.h>
#include <stdio.h>
#include <ntdef.h>
#include <ntstatus.h>

#define NTSTRSAFE_MAX_CCH 2147483647

static inline NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat,
                                           va_list argList) {
    if (pszDest == NULL || cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    int written = vsnprintf(pszDest, cbDest, pszFormat, argList);
    if (written < 0) {
        pszDest[0] = '\0';
        return STATUS_INVALID_PARAMETER;
    }
    return ((size_t)written >= cbDest) ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

static inline NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
static inline NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfA(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

#define RtlStringCchPrintfA RtlStringCbPrintfA

static inline NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc) {
    return RtlStringCbPrintfA(pszDest, cbDest, "%s", pszSrc);
}

static inline NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength) {
    if (psz == NULL || cbMax > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t length = strnlen(psz, cbMax);
    if (length == cbMax)
        return STATUS_INVALID_PARAMETER;
    if (pcbLength != NULL)
        *pcbLength = length;
    return STATUS_SUCCESS;
}

#endif
