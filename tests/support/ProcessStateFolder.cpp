// Compiled into every test and benchmark program: from before main() to its end, the process
// and the programs it starts keep recovery files in a temporary folder, never in the user's.
#include "tests/support/TemporaryStateHome.h"

namespace {
const TemporaryStateHome processStateFolder;
}
