// Windows keeps the process's standard error as it is (no relay pipe, no repeat
// collapsing); protocol lines are still kept apart from it (StandardStreamsWin.cpp).
#include "app/StderrRelay.h"

namespace corvena {

StderrRelay* StderrRelay::start() { return nullptr; }

void StderrRelay::drain(std::chrono::milliseconds) {}

void StderrRelay::run() {}

} // namespace corvena
