// Work handed from a worker thread to the main loop, where the desktop
// interface's skeletons and the polkit client live.
#pragma once

#include <functional>

// Runs `work` on the main loop, soon, in the order handed over. The hand-over
// goes through a lock of ours, so whatever the worker wrote before is seen by
// the work, whatever GLib's own queue does.
void fprint_on_main_loop(std::function<void()> work);
