#include "status_names.h"

#include <ntstatus.h>

#include <cstdio>

namespace vq7usb {

namespace {

struct Named {
    NTSTATUS status;
    const char* name;
};

#define VQ7_NAMED(status) {status, #status}
constexpr Named kNames[] = {
    VQ7_NAMED(STATUS_SUCCESS),
    VQ7_NAMED(STATUS_TIMEOUT),
    VQ7_NAMED(STATUS_PENDING),
    VQ7_NAMED(STATUS_BUFFER_OVERFLOW),
    VQ7_NAMED(STATUS_DEVICE_BUSY),
    VQ7_NAMED(STATUS_UNSUCCESSFUL),
    VQ7_NAMED(STATUS_NOT_IMPLEMENTED),
    VQ7_NAMED(STATUS_INVALID_HANDLE),
    VQ7_NAMED(STATUS_INVALID_PARAMETER),
    VQ7_NAMED(STATUS_NO_SUCH_DEVICE),
    VQ7_NAMED(STATUS_INVALID_DEVICE_REQUEST),
    VQ7_NAMED(STATUS_MORE_PROCESSING_REQUIRED),
    VQ7_NAMED(STATUS_NO_MEMORY),
    VQ7_NAMED(STATUS_ACCESS_DENIED),
    VQ7_NAMED(STATUS_BUFFER_TOO_SMALL),
    VQ7_NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
    VQ7_NAMED(STATUS_DELETE_PENDING),
    VQ7_NAMED(STATUS_INSUFFICIENT_RESOURCES),
    VQ7_NAMED(STATUS_DEVICE_NOT_CONNECTED),
    VQ7_NAMED(STATUS_DEVICE_NOT_READY),
    VQ7_NAMED(STATUS_NOT_SUPPORTED),
    VQ7_NAMED(STATUS_UNEXPECTED_IO_ERROR),
    VQ7_NAMED(STATUS_CANCELLED),
    VQ7_NAMED(STATUS_NOT_FOUND),
    VQ7_NAMED(STATUS_NO_MATCH),
};
#undef VQ7_NAMED

}  // namespace

std::string StatusName(NTSTATUS status) {
    for (const Named& named : kNames) {
        if (named.status == status) {
            return named.name;
        }
    }
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace vq7usb
