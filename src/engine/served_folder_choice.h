// Which folder a program serves: the working directory at start, except where that would share
// the system's or the program's own files.
#pragma once

#include <string>

namespace quillet {

/// The folder to serve, chosen once at start before UdpServer::prepare.
struct ServedFolderChoice {
    std::string path;       // absolute; empty when the working directory cannot be read
    std::string notServed;  // the working directory when it was passed over; empty otherwise
};

/// The working directory. On Windows, when that is the program's own folder (a double-click in
/// Explorer) or the Windows folder or below it (an elevated console starts in System32), the
/// folder "TFTP" in the user's profile instead, created when missing.
ServedFolderChoice chooseServedFolder();

}  // namespace quillet
