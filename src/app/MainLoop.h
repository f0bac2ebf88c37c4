#pragma once
#include <atomic>

namespace corvena {

// Cleared by the quit command; the main loop turns while it is set.
extern std::atomic<bool> running;

// Start-up, main loop and shut-down of the engine process. Returns the exit status.
// `beforeShutdown`, when given, runs after the loop ends (tests use it to stall).
int runProcess(void (*beforeShutdown)() = nullptr);

} // namespace corvena
