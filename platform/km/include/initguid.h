// Stand-in for <initguid.h>: the unit that includes it defines the GUIDs of
// the headers it includes afterwards; every other unit only declares them.
#define INITGUID
#include <guiddef.h>
