// The published GUIDs of the stand-in's headers, for the stand-in's own
// parts (the simulated bus driver answers the USBDI bus-interface query) and
// for programs that use them without a driver. On Windows every image keeps
// its own copy; here the images are linked into one program, so these copies
// are weak: a driver unit that defines a GUID through <initguid.h> takes its
// place, and two driver units that both define it still collide.
#include <initguid.h>
#include <usbbusif.h>
#include <usbiodef.h>

#pragma weak USB_BUS_INTERFACE_USBDI_GUID
#pragma weak GUID_DEVINTERFACE_USB_HUB
#pragma weak GUID_DEVINTERFACE_USB_DEVICE
#pragma weak GUID_DEVINTERFACE_USB_HOST_CONTROLLER
