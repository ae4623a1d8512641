#pragma once

#include <new>
#include <type_traits>
#include <utility>

namespace tesselwick {

// Holds a T that is built in place and never destroyed. For the process-wide
// instances (caches, shared state, the clock): detached worker tasks may still
// use them while the process exits, after static destructors have run.
//
//     static NoDestructor<DiskInfoCache> cache;
//     return *cache;
template <typename T> class NoDestructor {
public:
    template <typename... Args> explicit NoDestructor(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    // Trivial, so no exit-time destructor is registered at all.
    ~NoDestructor() = default;

    T& operator*() { return *get(); }
    T* operator->() { return get(); }
    T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

} // namespace tesselwick
