// For the threads that only work ahead of the thread they serve (look-ups announced to the
// address book, filters announced to a record set).
#pragma once

namespace testqav {

// Gives the calling thread the lowest scheduling priority. On a machine with as many cores
// as runnable threads this changes nothing; with fewer (two cores: the run, and two threads
// working ahead of it), the run keeps a core to itself and the helpers share what is left,
// instead of all three taking turns. Measured side by side in docs/benchmarks.md.
void LowerCurrentThreadPriority();

}  // namespace testqav
