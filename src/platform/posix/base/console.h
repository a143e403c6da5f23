// The POSIX log echo's one setting: the terminal that the console front end draws on.
#pragma once

namespace skiff {

// From now on the echo is dropped while standard error is the terminal that fd is on:
// the front end's window already shows each line there once. Standard error redirected
// to a file, a pipe or another terminal gets every line. Called once, before the log's
// writers start.
void SetConsoleFrontEndOutput(int fd);

}  // namespace skiff
