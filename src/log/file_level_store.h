#pragma once

#include <cstdint>
#include <optional>

namespace quillet {

/// Where the log file's level is kept between runs (the user's settings).
class FileLevelStore {
  public:
    /// The stored level, or none when it is missing or unreadable.
    virtual std::optional<std::int32_t> readFileLevel() = 0;

    /// Stores the level; failures are not reported.
    virtual void writeFileLevel(std::int32_t level) = 0;

  protected:
    ~FileLevelStore() = default;
};

}  // namespace quillet
