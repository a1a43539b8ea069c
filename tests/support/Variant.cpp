// SPDX-License-Identifier: MIT
// The library variant a test executable runs against, chosen when it is
// linked: this file alone is compiled once per variant, so that the tests
// themselves are compiled once and linked against either build.
#include "Capture.h"

namespace kqtest {

extern const bool kConsole = KQTEST_CONSOLE != 0;
extern const char* const kLibrary = KQTEST_LIB;

}  // namespace kqtest
