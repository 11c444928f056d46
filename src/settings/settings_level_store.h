#pragma once

#include "log/file_level_store.h"

namespace quillet {

/// The log file's level in the user's settings: LOG_FILE_LEVEL in ~/.config/Carrowmore/Quillet.conf
/// on Linux (QSettings), the REG_DWORD LOG_FILE_LEVEL under
/// HKEY_CURRENT_USER\Software\Carrowmore\Quillet on Windows (the registry API).
class SettingsLevelStore final : public FileLevelStore {
  public:
    std::optional<std::int32_t> readFileLevel() override;
    void writeFileLevel(std::int32_t level) override;
};

/// The TFTP_OPTIONS value in the same settings: true when it is 1 (transfer options are
/// negotiated), false when it is 0, missing or anything else. Read once at start; a missing value
/// is not written back.
bool readTransferOptionsSetting();

/// Stores TFTP_OPTIONS in the same settings: 1 to negotiate transfer options, 0 not to. Failures
/// are not reported.
void writeTransferOptionsSetting(bool negotiate);

}  // namespace quillet
