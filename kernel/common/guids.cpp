// The GUIDs the driver uses, defined once: this is the one unit that
// includes <initguid.h>, so the headers after it define their GUIDs here and
// every other unit only declares them.
#include <ntddk.h>

#include <initguid.h>

// The kernel-streaming headers declare their GUIDs through DEFINE_GUIDEX,
// which <ksguid.h> turns into definitions.
#include <ksguid.h>
#include <ksmedia.h>
#include <portcls.h>
#include <usbbusif.h>

#include "adapter/usb_audio_adapter.h"
#include "common/trace.h"
#include "wavert/miniport_engine_sink.h"
