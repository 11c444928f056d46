// The engine's clock, passed in by whoever runs the engine, so that tests can set the time
// instead of sleeping through it.
#pragma once

#include <chrono>
#include <ctime>

namespace quillet {

/// Both readings the engine may need: a monotonic one for measuring intervals, and the wall clock
/// for the times people read.
class Clock {
  public:
    /// A reading that never goes back, for intervals.
    virtual std::chrono::steady_clock::time_point monotonic() const = 0;

    /// The wall clock in whole seconds since the epoch, for texts and stamps.
    virtual std::time_t wall() const = 0;

  protected:
    ~Clock() = default;
};

/// The system's clocks.
class SystemClock final : public Clock {
  public:
    std::chrono::steady_clock::time_point monotonic() const override {
        return std::chrono::steady_clock::now();
    }
    std::time_t wall() const override { return std::time(nullptr); }
};

/// The one system clock the programs pass in.
inline const Clock& systemClock() {
    static const SystemClock clock;
    return clock;
}

}  // namespace quillet
