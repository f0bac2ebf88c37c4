#pragma once
// Counts heap allocations and blocking mutex locks of threads inside a Scope.
// Include in one source file of a test executable of its own, never in a
// sanitizer build: it replaces glibc's allocation functions, where every
// operator new ends. Locks count when the executable links with
// -Wl,--wrap=pthread_mutex_lock (try_lock is never counted).
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include <pthread.h>

namespace corvena::test {

class AllocationCounter {
public:
    struct Scope {
        Scope() { armed = true; }
        ~Scope() { armed = false; }
        Scope(const Scope&) = delete;
    };
    static size_t allocations() { return counts[0].load(); }
    static size_t lockWaits() { return counts[1].load(); }
    static void reset() { counts[0] = counts[1] = 0; }
    static void noteAllocation() { if (armed) ++counts[0]; }
    static void noteLockWait() { if (armed) ++counts[1]; }

private:
    // Constant-initialised: ready before any allocation of the process.
    static inline thread_local bool armed = false;
    static inline std::atomic<size_t> counts[2] = {};
};

} // namespace corvena::test

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
int __real_pthread_mutex_lock(pthread_mutex_t*);

#define CORVENA_COUNTED(call) (corvena::test::AllocationCounter::noteAllocation(), call)
void* malloc(size_t size) noexcept { return CORVENA_COUNTED(__libc_malloc(size)); }
void* calloc(size_t n, size_t size) noexcept { return CORVENA_COUNTED(__libc_calloc(n, size)); }
void* realloc(void* p, size_t size) noexcept { return CORVENA_COUNTED(__libc_realloc(p, size)); }
void* memalign(size_t align, size_t size) noexcept { return CORVENA_COUNTED(__libc_memalign(align, size)); }
void* aligned_alloc(size_t align, size_t size) noexcept { return CORVENA_COUNTED(__libc_memalign(align, size)); }
int posix_memalign(void** out, size_t align, size_t size) noexcept {
    return (*out = CORVENA_COUNTED(__libc_memalign(align, size))) ? 0 : ENOMEM;
}
#undef CORVENA_COUNTED

int __wrap_pthread_mutex_lock(pthread_mutex_t* mutex) {
    corvena::test::AllocationCounter::noteLockWait();
    return __real_pthread_mutex_lock(mutex);
}
}
