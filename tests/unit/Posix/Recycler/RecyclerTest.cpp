// BlockRecycler keeps freed blocks per thread: they must come back for the next object, be
// freed when their thread ends, and a block given back while the thread is ending (by another
// thread-local object's destructor) must go to the heap, not into the cache that is gone.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tvb/Recycler.h"

namespace {

using Blocks = tvb::BlockRecycler<48, 4>;

struct LateGiver {
    void* block = nullptr;
    ~LateGiver() {
        if (block != nullptr)
            Blocks::Give(block);
    }
};

} // namespace

TEST(Recycler, AFreedBlockServesTheNextObjectAndOverflowGoesToTheHeap) {
    const long before = Blocks::OutstandingForTesting();
    std::thread([] {
        void* first = Blocks::Take();
        Blocks::Give(first);
        EXPECT_EQ(Blocks::Take(), first);
        // More than the cache keeps: the extra blocks go back to the heap, none is lost.
        std::vector<void*> many = {first};
        for (int i = 0; i < 9; ++i)
            many.push_back(Blocks::Take());
        for (void* block : many)
            Blocks::Give(block);
        EXPECT_EQ(Blocks::OutstandingForTesting(), 4) << "the cache keeps four";
    }).join();
    EXPECT_EQ(Blocks::OutstandingForTesting(), before);
}

TEST(Recycler, BlocksGivenBackOnAnotherThreadOrWhileTheThreadEndsAreFreed) {
    const long before = Blocks::OutstandingForTesting();
    void* moved = nullptr;
    std::thread([&] { moved = Blocks::Take(); }).join();
    std::thread([&] {
        // Constructed before this thread's cache, so destroyed after it.
        thread_local LateGiver late;
        Blocks::Give(moved); // cached here, freed when this thread ends
        late.block = Blocks::Take();
        Blocks::Give(Blocks::Take());
    }).join();
    EXPECT_EQ(Blocks::OutstandingForTesting(), before);
}
