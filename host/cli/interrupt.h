// Ctrl-C (SIGINT) or SIGTERM during `mattivo pull`: the first asks the run to
// stop in order (the pull cancelled, the backend told, partial output
// removed); a second one ends the process at once, as it would without us.
#pragma once

namespace mattivo {

// The exit status of a run stopped this way, as shells report a SIGINT.
constexpr int kInterruptedExit = 130;

void catch_interrupts();
// True once a Ctrl-C or SIGTERM has arrived.
bool interrupted();

}  // namespace mattivo
