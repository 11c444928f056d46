#include <sys/capability.h>
#include <sys/prctl.h>
#include <cerrno>

#include <cstdio>
#include <memory>
#include <type_traits>

#include "engine/privileges.h"
#include "log/log_sink.h"

namespace quillet {
namespace {

struct CapabilityFree {
    void operator()(cap_t capabilities) const { cap_free(capabilities); }
};
using Capabilities = std::unique_ptr<std::remove_pointer_t<cap_t>, CapabilityFree>;

/// True while the calling thread may change the bounding set (CAP_SETPCAP is effective).
bool mayChangeBoundingSet() {
    const Capabilities current(cap_get_proc());
    cap_flag_value_t value = CAP_CLEAR;
    return current != nullptr &&
           cap_get_flag(current.get(), CAP_SETPCAP, CAP_EFFECTIVE, &value) == 0 && value == CAP_SET;
}

/// The steps, in an order that needs CAP_SETPCAP only while it is still held; 0 or the errno of
/// the step that failed.
int dropEveryCapability() {
    if (mayChangeBoundingSet()) {
        for (cap_value_t capability = 0; capability < static_cast<cap_value_t>(cap_max_bits());
             ++capability) {
            if (cap_drop_bound(capability) != 0) {
                return errno;
            }
        }
    }
    // Kernels before 4.3 have no ambient set (EINVAL); emptying the permitted set below clears
    // it anyway where there is one.
    if (cap_reset_ambient() != 0 && errno != EINVAL) {
        return errno;
    }
    const Capabilities none(cap_init());
    if (none == nullptr || cap_set_proc(none.get()) != 0) {
        return errno;
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace

bool dropPrivileges(LogSink& log) {
    const int error = dropEveryCapability();
    if (error == 0) {
        return true;
    }
    char text[kLogTextCapacity];
    std::snprintf(text, sizeof text, "Privileges not dropped: 0x%08X",
                  static_cast<unsigned>(error));
    log.write(loglevel::kCannotStart, text);
    std::fprintf(stderr, "%s\n", text);
    return false;
}

}  // namespace quillet
