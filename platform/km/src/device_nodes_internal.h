// The device-node table as the stand-in's own services see it.
#pragma once

#include <wdm.h>

#include <string>

namespace km {

void DeviceNodesReset();
// The instance path the PnP manager gave the physical device object, or empty.
std::u16string InstancePathOf(PDEVICE_OBJECT pdo);
// "{xxxxxxxx-xxxx-...}" in lower case, as the registry and interface paths write GUIDs.
std::string GuidString(const GUID& guid);

}  // namespace km
