// Stand-in for <usbdi.h>: the USB driver interface a client driver includes
// to talk to its device's stack — the request blocks of <usb.h> and the
// device-control requests of <usbioctl.h> that carry them.
#pragma once

#include <usb.h>
#include <usbioctl.h>
