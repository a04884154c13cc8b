// Names of the statuses the driver reports, as engineers read them.
#pragma once

#include <ntdef.h>

#include <string>

namespace vq7usb {

// "STATUS_NOT_SUPPORTED" for 0xC00000BB; "0x........" for a status without a name here.
std::string StatusName(NTSTATUS status);

}  // namespace vq7usb
