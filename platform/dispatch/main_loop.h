#pragma once

namespace fenwright {

// Parks the calling (main) thread for good, answering clients if asked to
// by answerOnMainThread(); everything else happens on queues and tasks. The
// process ends through exitProcess() or a signal.
[[noreturn]] void runMainLoopForever();

}  // namespace fenwright
