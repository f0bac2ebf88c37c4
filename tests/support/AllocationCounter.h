#pragma once
// Counts heap allocations and blocking lock calls made by one thread.
//
// Include this header in exactly ONE source file of a test executable of its
// own: it replaces the global operator new/delete and interposes malloc,
// calloc and realloc for the whole binary. Blocking mutex locks are counted
// when the executable is linked with -Wl,--wrap=pthread_mutex_lock (which
// diverts the calls made from statically linked code, that is ours).
// Counting happens only on a thread inside an AllocationCounter::Scope, so
// the test framework and other threads are not counted.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include <pthread.h>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
int __real_pthread_mutex_lock(pthread_mutex_t*);
}

namespace corvena::test {

class AllocationCounter {
public:
    // Counting is on for the calling thread while a Scope lives.
    class Scope {
    public:
        Scope() { armed() = true; }
        ~Scope() { armed() = false; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
    };

    static size_t allocations() { return allocations_().load(); }
    static size_t lockWaits() { return lockWaits_().load(); }
    static void reset() {
        allocations_().store(0);
        lockWaits_().store(0);
    }

    static void noteAllocation() {
        if (armed()) allocations_().fetch_add(1);
    }
    static void noteLockWait() {
        if (armed()) lockWaits_().fetch_add(1);
    }

private:
    static bool& armed() {
        static thread_local bool flag = false;
        return flag;
    }
    static std::atomic<size_t>& allocations_() {
        static std::atomic<size_t> count{0};
        return count;
    }
    static std::atomic<size_t>& lockWaits_() {
        static std::atomic<size_t> count{0};
        return count;
    }
};

} // namespace corvena::test

extern "C" {
void* malloc(size_t size) {
    corvena::test::AllocationCounter::noteAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    corvena::test::AllocationCounter::noteAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
    corvena::test::AllocationCounter::noteAllocation();
    return __libc_realloc(pointer, size);
}
// try_lock goes to pthread_mutex_trylock and stays uncounted.
int __wrap_pthread_mutex_lock(pthread_mutex_t* mutex) {
    corvena::test::AllocationCounter::noteLockWait();
    return __real_pthread_mutex_lock(mutex);
}
}

void* operator new(size_t size) {
    corvena::test::AllocationCounter::noteAllocation();
    if (void* p = __libc_malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    corvena::test::AllocationCounter::noteAllocation();
    return __libc_malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void* operator new(size_t size, std::align_val_t align) {
    corvena::test::AllocationCounter::noteAllocation();
    if (void* p = __libc_memalign(static_cast<size_t>(align), size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size, std::align_val_t align) { return operator new(size, align); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }
