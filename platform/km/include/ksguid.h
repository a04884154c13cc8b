// Stand-in for <ksguid.h>: included before <ks.h> and <ksmedia.h> in one
// unit, it makes their GUID declarations definitions. The stand-in's
// kernel-streaming headers declare their GUIDs with DEFINE_GUID, which
// <initguid.h> already turns into definitions.
#pragma once

#include <initguid.h>
