#include "engine/served_folder_choice.h"
#include "tftp/served_file.h"

namespace quillet {

// POSIX programs serve the folder they are started in; the menu's launcher picks a safe one.
ServedFolderChoice chooseServedFolder() {
    return {ServedFolder::workingDirectory(), {}};
}

}  // namespace quillet
