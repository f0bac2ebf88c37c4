#pragma once
// Holds the engine's disk writer back while `diskStalled` is set, as a disk that
// stopped answering would. Include in one source file of a test binary: it
// defines the writer's hook for that binary.
#include "record/DiskWriterHook.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace corvena {
namespace test {
inline std::atomic<bool> diskStalled{false};
} // namespace test

void beforeDiskWriterPass(Engine&) {
    while (test::diskStalled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
} // namespace corvena
