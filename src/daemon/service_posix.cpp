#include "daemon/service.h"

namespace quillet::daemon {

// systemd runs quilletd as it is: nothing tells a service apart.
std::optional<int> runAsService(ServeFunction) {
    return std::nullopt;
}

}  // namespace quillet::daemon
