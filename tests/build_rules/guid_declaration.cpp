// A unit without <initguid.h>: DEFINE_GUID only declares kOneHome.
#include "guid_one_home.h"

const GUID* ReadOneHome() { return &kOneHome; }
