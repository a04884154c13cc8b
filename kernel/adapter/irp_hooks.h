// The driver's own major-function routines. Requests on a file object named
// "\asio" (in any letter case) belong to the ASIO channel and are served
// here; everything else goes to PortCls unchanged.
#pragma once

#include <ntddk.h>

namespace vq7 {

DRIVER_DISPATCH CreateHook;
DRIVER_DISPATCH CloseHook;
// IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE and IRP_MJ_DEVICE_CONTROL.
DRIVER_DISPATCH FileRequestHook;
DRIVER_DISPATCH PnpHook;

}  // namespace vq7
