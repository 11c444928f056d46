// What the process may do: it gives up its privileges once port 69 is bound and the folder and
// the log are open (nothing the programs do afterwards needs any), and it raises its limit of
// open files, one of which every transfer holds.
#pragma once

#include <cstddef>

namespace quillet {

class LogSink;

/// Drops every capability (permitted, effective, inheritable, ambient, and the bounding set where
/// the process may change it) and forbids gaining any through exec; the user stays the same, so
/// that the log can still be rotated where it was created. Capabilities belong to each thread:
/// call this while the process has one thread, and every thread made afterwards inherits the
/// dropped state. When a step fails it writes why at level 3 to log and to standard error and
/// returns false: the program must then end (kExitCannotStart). Nothing to drop on Windows.
bool dropPrivileges(LogSink& log);

/// Raises the process's soft limit of open files to its hard limit; returns the limit now in
/// force (no limit on Windows, whose handles are not counted against a small one).
std::size_t raiseOpenFileLimit();

}  // namespace quillet
