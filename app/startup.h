#pragma once
// What both programs (orvane and orvane-desk) do before Qt starts.

namespace orv::app {

// Where Qt looks for plugins, decided before it loads the first: its own
// folders and the program's, but none that others can write.
void safePluginFolders();

}  // namespace orv::app
