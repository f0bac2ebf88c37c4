// The engine process with a shut-down that never finishes in time. Only the tests
// build it; the release binary has no such hook.
#include "app/MainLoop.h"

#include <chrono>
#include <thread>

int main() {
    return corvena::runProcess([] { std::this_thread::sleep_for(std::chrono::seconds(60)); });
}
