#pragma once
// Counts heap allocations and blocking mutex locks made by one thread.
//
// Include in exactly ONE source file of a test executable of its own: it
// replaces the global operator new/delete and, outside sanitizer builds (where
// the sanitizer owns them), malloc, calloc and realloc. Blocking locks are
// counted when the executable links with -Wl,--wrap=pthread_mutex_lock, which
// diverts the calls made from statically linked code (ours); try_lock goes to
// pthread_mutex_trylock and is never counted. Only threads inside a Scope count.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include <pthread.h>

extern "C" int __real_pthread_mutex_lock(pthread_mutex_t*);

namespace corvena::test {

class AllocationCounter {
public:
    class Scope {
    public:
        Scope() { armed() = true; }
        ~Scope() { armed() = false; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
    };
    static size_t allocations() { return counts()[0].load(); }
    static size_t lockWaits() { return counts()[1].load(); }
    static void reset() { counts()[0] = counts()[1] = 0; }
    static void noteAllocation() { if (armed()) ++counts()[0]; }
    static void noteLockWait() { if (armed()) ++counts()[1]; }

private:
    static bool& armed() {
        static thread_local bool flag = false;
        return flag;
    }
    static std::atomic<size_t>* counts() {
        static std::atomic<size_t> values[2] = {};
        return values;
    }
};

} // namespace corvena::test

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline void* corvenaCountedAlloc(size_t size, size_t align) {
    return align <= alignof(std::max_align_t) ? std::malloc(size) : std::aligned_alloc(align, (size + align - 1) / align * align);
}
inline void corvenaCountedFree(void* p) { std::free(p); }
#else
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
void* malloc(size_t size) { return corvena::test::AllocationCounter::noteAllocation(), __libc_malloc(size); }
void* calloc(size_t n, size_t size) { return corvena::test::AllocationCounter::noteAllocation(), __libc_calloc(n, size); }
void* realloc(void* p, size_t size) { return corvena::test::AllocationCounter::noteAllocation(), __libc_realloc(p, size); }
}
inline void* corvenaCountedAlloc(size_t size, size_t align) {
    return align <= alignof(std::max_align_t) ? __libc_malloc(size) : __libc_memalign(align, size);
}
inline void corvenaCountedFree(void* p) { __libc_free(p); }
#endif

extern "C" int __wrap_pthread_mutex_lock(pthread_mutex_t* mutex) {
    corvena::test::AllocationCounter::noteLockWait();
    return __real_pthread_mutex_lock(mutex);
}

inline void* corvenaCountedNew(size_t size, size_t align = alignof(std::max_align_t)) {
    corvena::test::AllocationCounter::noteAllocation();
    return corvenaCountedAlloc(size ? size : 1, align);
}
void* operator new(size_t size) {
    if (void* p = corvenaCountedNew(size)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t size, std::align_val_t align) {
    if (void* p = corvenaCountedNew(size, static_cast<size_t>(align))) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new[](size_t size, std::align_val_t align) { return operator new(size, align); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return corvenaCountedNew(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return corvenaCountedNew(size); }
void operator delete(void* p) noexcept { corvenaCountedFree(p); }
void operator delete[](void* p) noexcept { corvenaCountedFree(p); }
void operator delete(void* p, size_t) noexcept { corvenaCountedFree(p); }
void operator delete[](void* p, size_t) noexcept { corvenaCountedFree(p); }
void operator delete(void* p, std::align_val_t) noexcept { corvenaCountedFree(p); }
void operator delete[](void* p, std::align_val_t) noexcept { corvenaCountedFree(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { corvenaCountedFree(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { corvenaCountedFree(p); }
