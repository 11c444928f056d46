// quilletd as a Windows service: started and stopped by the service manager, which learns how it
// ended. Nothing on POSIX, where the service manager runs the program as it is.
#pragma once

#include <optional>

#include "engine/served_folder_choice.h"

namespace quillet::daemon {

/// The program's body: serves folder until a stop request and returns the exit status; calls
/// serving (when given) once port 69 is bound and the engine is about to serve.
using ServeFunction = int (*)(const ServedFolderChoice& folder, void (*serving)());

/// When the service manager started this program, runs serve as the service "Quillet TFTP
/// Server" on %ProgramData%\Quillet\TFTP until the manager stops it, and returns the exit status;
/// none, at once, when the program was started in any other way (always, on POSIX).
std::optional<int> runAsService(ServeFunction serve);

}  // namespace quillet::daemon
