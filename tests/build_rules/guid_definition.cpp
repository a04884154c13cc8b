// The one unit that defines kOneHome; the program succeeds when the unit
// that only declares it sees the same object.
#include <initguid.h>

#include "guid_one_home.h"

int main() { return ReadOneHome() == &kOneHome && kOneHome.Data1 == 0x3d5b7e1a ? 0 : 1; }
