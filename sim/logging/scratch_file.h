// Opening the files the logger writes in the current directory.
#pragma once

#include <cstdio>

namespace sim {

// Creates fileName anew for reading and writing ("w+b"). The name is the
// logger's own: a regular file or a link (symbolic or hard) there is removed
// and a new file created in its place, so that nothing is ever written
// through that name into a file another name still shows. A directory,
// device, FIFO or socket there is left alone, and the open fails. Null when
// the file cannot be made (also when something reappears at the name
// between its removal and the creation).
std::FILE* openScratchFile(const char* fileName);

// What openScratchFile uses in place of the above; replaceable so that tests
// can hand the logger a file whose writes fail (on a full device) without
// naming the device to code that removes what it wrote.
using ScratchFileOpener = std::FILE* (*)(const char* fileName);

// Installs `opener`; null restores the creation described above.
void setScratchFileOpener(ScratchFileOpener opener);

}  // namespace sim
