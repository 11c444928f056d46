#include <cstdint>

#include "engine/privileges.h"

namespace quillet {

// A Windows process holds no capability that binding port 69 gave it: nothing to drop.
bool dropPrivileges(LogSink&) {
    return true;
}

std::size_t raiseOpenFileLimit() {
    return SIZE_MAX;
}

}  // namespace quillet
