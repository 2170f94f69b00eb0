// Lowering the pack thread's priority below the JavaScript thread's.
#pragma once

namespace zfnode {

// Lowers the calling thread's priority by steps nice steps, where the
// system has them per thread (Linux); elsewhere does nothing.
void LowerThisThreadsPriority(int steps);

}  // namespace zfnode
