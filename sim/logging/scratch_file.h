// Opening the files the logger writes in the current directory.
#pragma once

#include <cstdio>

namespace sim {

// Opens fileName for reading and writing, emptied or created ("w+b"). The
// name is the logger's own: a symbolic link there is removed and the file
// created in its place, so that nothing is ever written through a link into
// whatever it points to. Null when the file cannot be opened (a link that
// reappears between its removal and the open counts as such).
std::FILE* openScratchFile(const char* fileName);

}  // namespace sim
