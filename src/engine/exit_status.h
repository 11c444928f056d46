// The exit status that both programs share.
#pragma once

namespace quillet {

/// The exit status of either program when the engine cannot start.
inline constexpr int kExitCannotStart = 3;

}  // namespace quillet
