#include "daemon/console.h"

namespace quillet::daemon {

// A terminal takes UTF-8 as it is, and outlives the program.
void useUtf8Console() {}

void holdConsoleOpen() {}

}  // namespace quillet::daemon
