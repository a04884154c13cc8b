// Must compile: the same job done with the kernel's own string helpers.
#include <wdm.h>

USHORT LengthOf(PCWSTR text) {
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string.Length;
}
