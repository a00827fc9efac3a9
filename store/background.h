#pragma once
// Work through the whole book (an import, a copy, a check, a sync) runs at a
// lower processor priority than the windows and the lists: on an idle
// machine it is as fast as before, and while it runs a reader is not kept
// waiting for the processor.

namespace orv {

// Lowers the calling thread's priority by 10 (nice), for good: only for a
// thread, or a process, that ends with the work.
void runInBackground();

}  // namespace orv
