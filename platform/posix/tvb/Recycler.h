// Keeps a few freed blocks of one size per thread for the next allocation of that size. Objects
// that a volume walk makes and drops for every volume (iterators, matching dictionaries and
// their entries) then cost no trip through malloc. A block freed once its thread's cache is
// full, or while the thread is ending, goes back to the heap.
// Threading: each thread has its own cache; a block may be freed on another thread than the one
// that took it. Ownership: a cached block belongs to its cache, which frees it when its thread
// ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

namespace tvb {

template <std::size_t Size, std::size_t Kept = 16> class BlockRecycler {
public:
    static void* Take() {
        Cache* cache = Local();
        if (cache != nullptr && cache->count > 0)
            return cache->blocks[--cache->count];
        void* block = ::operator new(Size);
        sFromHeap.fetch_add(1, std::memory_order_relaxed);
        return block;
    }

    static void Give(void* block) {
        Cache* cache = Local();
        if (cache != nullptr && cache->count < Kept) {
            cache->blocks[cache->count++] = block;
            return;
        }
        ToHeap(block);
    }

    // Blocks taken from the heap and not yet handed back to it, cached ones included: what
    // tests compare once every thread that used the recycler has ended.
    static long OutstandingForTesting() { return sFromHeap.load(); }

private:
    struct Cache {
        void* blocks[Kept];
        std::size_t count = 0;
        ~Cache() {
            sEnded = true;
            while (count > 0)
                ToHeap(blocks[--count]);
        }
    };

    // Null once this thread's cache is gone: objects released by later thread-exit destructors
    // free their blocks directly.
    static Cache* Local() {
        if (sEnded)
            return nullptr;
        thread_local Cache cache;
        return &cache;
    }

    static void ToHeap(void* block) {
        ::operator delete(block);
        sFromHeap.fetch_sub(1, std::memory_order_relaxed);
    }

    static thread_local bool sEnded; // trivially destructible: readable until the thread ends
    static inline std::atomic<long> sFromHeap{0};
};

template <std::size_t Size, std::size_t Kept>
thread_local bool BlockRecycler<Size, Kept>::sEnded = false;

// A standard allocator over BlockRecycler for single objects (std::allocate_shared, list
// nodes); arrays go to the heap.
template <typename T> struct RecyclingAllocator {
    using value_type = T;
    RecyclingAllocator() noexcept = default;
    template <typename U> RecyclingAllocator(const RecyclingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
        if (n == 1)
            return static_cast<T*>(BlockRecycler<sizeof(T)>::Take());
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n == 1)
            BlockRecycler<sizeof(T)>::Give(p);
        else
            std::allocator<T>().deallocate(p, n);
    }

    template <typename U> bool operator==(const RecyclingAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U> bool operator!=(const RecyclingAllocator<U>&) const noexcept {
        return false;
    }
};

} // namespace tvb
