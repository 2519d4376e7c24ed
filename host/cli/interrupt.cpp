#include "interrupt.h"

#include <signal.h>

#include <atomic>

namespace mattivo {
namespace {

// Lock-free, so the handler may set it.
std::atomic<bool> gInterrupted{false};

void on_signal(int) { gInterrupted = true; }

}  // namespace

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // The first signal only sets the flag; the next one finds the default again.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return gInterrupted.load(); }

}  // namespace mattivo
