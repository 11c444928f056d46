// Counts the heap allocations and releases that this thread makes while an AllocationCount is
// alive. The replacement global operator new and delete that feed the counters are defined once
// for the whole test program, in event_sink_test.cpp.
#pragma once

#include <cstdint>

namespace quillet::testing {

namespace allocation_detail {
inline thread_local int countingScopes = 0;
inline thread_local std::int64_t allocations = 0;
inline thread_local std::int64_t releases = 0;
}  // namespace allocation_detail

/// While alive, counts this thread's calls of operator new and operator delete.
class AllocationCount {
  public:
    AllocationCount()
        : allocationsBefore_(allocation_detail::allocations),
          releasesBefore_(allocation_detail::releases) {
        ++allocation_detail::countingScopes;
    }
    ~AllocationCount() { --allocation_detail::countingScopes; }
    AllocationCount(const AllocationCount&) = delete;
    AllocationCount& operator=(const AllocationCount&) = delete;

    /// Allocations made on this thread since the count began.
    std::int64_t allocations() const { return allocation_detail::allocations - allocationsBefore_; }

    /// Releases made on this thread since the count began.
    std::int64_t releases() const { return allocation_detail::releases - releasesBefore_; }

  private:
    std::int64_t allocationsBefore_;
    std::int64_t releasesBefore_;
};

}  // namespace quillet::testing
