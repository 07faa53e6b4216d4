// What a console program does so that results it cannot write are never
// reported as success.
//
// At start it keeps descriptors 0, 1 and 2 taken: one that the caller closed
// is opened read-only on /dev/null, so no file or socket the program opens
// later takes its number (text for standard output would otherwise go into a
// matrix file or a viewer socket), and a write to it still fails as it would
// on the closed descriptor. At the end it flushes standard output and, when
// any write to it failed, names the reason on standard error.
#pragma once

namespace platform {

void reserveStandardDescriptors();

// Flushes standard output. 0 when everything written so far reached it,
// else the error number of the failure (EBADF or EIO when an earlier flush
// lost it). Once a write failed, every later call reports the failure.
int flushStandardOutput();

// Flushes standard output; on failure prints one line on standard error,
// "<program>: cannot write standard output: <reason>", and returns false.
// `program` is argv[0] (its last path component is printed).
bool finishStandardOutput(const char* program);

}  // namespace platform
