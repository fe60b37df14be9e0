#pragma once
// Workers run a notch above normal so that the window's work never delays a
// transfer, where the system lets an ordinary user raise a thread's priority.

namespace fleet {

// Raises the calling thread one step above the process's priority; false (and
// a diagnostic) when the system refuses.
bool RaiseCurrentThreadPriority();

}  // namespace fleet
