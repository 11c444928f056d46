// Giving up privileges once port 69 is bound and the folder and the log are open: nothing the
// programs do afterwards needs any.
#pragma once

namespace quillet {

class LogSink;

/// Drops every capability (permitted, effective, inheritable, ambient, and the bounding set where
/// the process may change it) and forbids gaining any through exec; the user stays the same, so
/// that the log can still be rotated where it was created. Capabilities belong to each thread:
/// call this while the process has one thread, and every thread made afterwards inherits the
/// dropped state. When a step fails it writes why at level 3 to log and to standard error and
/// returns false: the program must then end (kExitCannotStart). Nothing to drop on Windows.
bool dropPrivileges(LogSink& log);

}  // namespace quillet
