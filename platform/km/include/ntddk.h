// Stand-in for <ntddk.h>: the driver development kit's superset of <wdm.h>.
#pragma once

#include <wdm.h>
