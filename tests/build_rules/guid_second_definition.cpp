// A second unit that includes <initguid.h> and so defines kOneHome again:
// linking it with guid_definition.cpp must fail.
#include <initguid.h>

#include "guid_one_home.h"

const GUID* ReadOneHome() { return &kOneHome; }
