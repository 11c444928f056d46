#pragma once

#include "log/file_level_store.h"

namespace quillet {

/// The log file's level in the user's settings: organisation "Carrowmore", application "Quillet",
/// key LOG_FILE_LEVEL (the registry on Windows, ~/.config/Carrowmore/Quillet.conf on Linux).
class SettingsLevelStore final : public FileLevelStore {
  public:
    std::optional<std::int32_t> readFileLevel() override;
    void writeFileLevel(std::int32_t level) override;
};

/// The TFTP_OPTIONS value in the same settings: true when it is 1 (transfer options are
/// negotiated), false when it is 0, missing or anything else. Read once at start; a missing value
/// is not written back.
bool readTransferOptionsSetting();

}  // namespace quillet
