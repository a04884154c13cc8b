// Device interfaces as the I/O manager's open path and the PnP side see them.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>

namespace km {

void DeviceInterfacesReset();
// The physical device object whose enabled interface link starts `path`
// ("\??\USB#...#{guid}..."), with what follows the link in `rest`; null if
// no enabled interface has that link.
PDEVICE_OBJECT ResolveDeviceLink(std::u16string_view path, std::u16string* rest);
// Disables every enabled interface of the device, as the PnP manager does
// when the device goes.
void DisableDeviceInterfacesOf(PDEVICE_OBJECT pdo);

}  // namespace km
