#include "engine/privileges.h"

namespace quillet {

// A Windows process holds no capability that binding port 69 gave it: nothing to drop.
bool dropPrivileges(LogSink&) {
    return true;
}

}  // namespace quillet
