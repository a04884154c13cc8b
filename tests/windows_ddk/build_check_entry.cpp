// The entry of the Windows build check's kernel image. The image carries
// every object of the kernel library so that its imports can be checked;
// the driver's own entry arrives with the adapter, and this image is never
// loaded: its entry refuses to start.
#include <ntddk.h>

extern "C" DRIVER_INITIALIZE BuildCheckEntry;

extern "C" NTSTATUS BuildCheckEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(driverObject);
    UNREFERENCED_PARAMETER(registryPath);
    return STATUS_NOT_SUPPORTED;
}
