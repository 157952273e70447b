#include "TvbGeneration.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvb::wire {

struct GenerationPage::Layout {
    uint64_t instance;
    uint64_t generation;
    // Locked by the host for its whole run; robust, so that the kernel marks it if the host dies.
    alignas(64) pthread_mutex_t owner;
};

namespace {

constexpr size_t kPageBytes = sizeof(GenerationPage::Layout);

GenerationPage::Layout* Map(int fd, bool writable) {
    void* address =
        mmap(nullptr, kPageBytes, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : static_cast<GenerationPage::Layout*>(address);
}

bool LockForLife(pthread_mutex_t& mutex) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0)
        return false;
    const bool ready = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                       pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                       pthread_mutex_init(&mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ready && pthread_mutex_lock(&mutex) == 0;
}

} // namespace

std::string GenerationPage::PathFor(const std::string& socketPath) {
    return socketPath + ".generation";
}

GenerationPage::~GenerationPage() {
    Close();
}

bool GenerationPage::Create(const std::string& path, uint64_t instance) {
    Close();
    // In place: clients of an earlier run that still map the old file then see the new instance.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    struct stat info;
    const bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == getuid() &&
                        ftruncate(fd, kPageBytes) == 0;
    mPage = usable ? Map(fd, true) : nullptr;
    close(fd);
    if (mPage == nullptr)
        return false;
    mWritable = true;
    mPath = path;
    mOwnerPid = getpid();
    __atomic_store_n(&mPage->instance, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&mPage->generation, 0, __ATOMIC_RELEASE);
    // The mutex of an earlier run is that run's no longer: it was marked when it died, or
    // unlocked when it ended.
    if (!LockForLife(mPage->owner)) {
        Close();
        return false;
    }
    mOwnerThread = gettid();
    __atomic_store_n(&mPage->instance, instance, __ATOMIC_RELEASE);
    return true;
}

void GenerationPage::Publish(uint64_t generation) {
    if (mPage != nullptr && mWritable)
        __atomic_store_n(&mPage->generation, generation, __ATOMIC_RELEASE);
}

void GenerationPage::Retire() {
    if (mPage == nullptr || !mWritable)
        return;
    const std::string path = mPath;
    Close();
    unlink(path.c_str());
}

bool GenerationPage::Open(const std::string& path) {
    Close();
    // O_NONBLOCK: a FIFO in the page's place would hold the open up until a writer came.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat info;
    // Only a file of our own user vouches for our caches.
    const bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == getuid() &&
                        static_cast<size_t>(info.st_size) >= kPageBytes;
    mPage = usable ? Map(fd, false) : nullptr;
    close(fd);
    mWritable = false;
    return mPage != nullptr;
}

void GenerationPage::Close() {
    if (mPage == nullptr)
        return;
    bool unmap = true;
    // A forked child of the host has no say over the host's page.
    if (mWritable && getpid() == mOwnerPid) {
        __atomic_store_n(&mPage->instance, 0, __ATOMIC_RELEASE);
        // A locked robust mutex sits on its owner thread's list, which the C library and the
        // kernel walk: it is unlocked before its memory goes, and on another thread the
        // mapping is left alone rather than pulled from under that list.
        if (mOwnerThread == gettid())
            pthread_mutex_unlock(&mPage->owner);
        else
            unmap = false;
    }
    if (unmap)
        munmap(mPage, kPageBytes);
    mPage = nullptr;
    mWritable = false;
    mOwnerThread = 0;
}

bool GenerationPage::OwnerAlive() const {
    // glibc keeps a mutex's futex word in __lock: the owner's thread id while it holds the
    // mutex, FUTEX_OWNER_DIED once the kernel found the owner dead.
    const int word = __atomic_load_n(&mPage->owner.__data.__lock, __ATOMIC_ACQUIRE);
    return (word & FUTEX_TID_MASK) != 0 && (word & FUTEX_OWNER_DIED) == 0;
}

uint64_t GenerationPage::Current(uint64_t instance) const {
    if (mPage == nullptr || instance == 0)
        return 0;
    // The generation first: if the owner still lives and the instance still matches after
    // it, the pair belongs together.
    const uint64_t generation = __atomic_load_n(&mPage->generation, __ATOMIC_ACQUIRE);
    if (!OwnerAlive())
        return 0;
    return __atomic_load_n(&mPage->instance, __ATOMIC_ACQUIRE) == instance ? generation : 0;
}

} // namespace tvb::wire
