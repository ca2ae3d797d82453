#pragma once

// The DFU library's diagnostics go to Qt's message output, as the rest of the program's do.
// Every entry of dfu/ that may reach the library calls this first; it installs the handler
// once.
void routeDfuLibraryLog();
