#include "TvbGeneration.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvb::wire {

namespace {

constexpr size_t kPageBytes = 2 * sizeof(uint64_t);

uint64_t* Map(int fd, bool writable) {
    void* address =
        mmap(nullptr, kPageBytes, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : static_cast<uint64_t*>(address);
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
    mWords = usable ? Map(fd, true) : nullptr;
    close(fd);
    if (mWords == nullptr)
        return false;
    mWritable = true;
    mPath = path;
    __atomic_store_n(&mWords[1], 0, __ATOMIC_RELEASE);
    __atomic_store_n(&mWords[0], instance, __ATOMIC_RELEASE);
    return true;
}

void GenerationPage::Publish(uint64_t generation) {
    if (mWords != nullptr && mWritable)
        __atomic_store_n(&mWords[1], generation, __ATOMIC_RELEASE);
}

void GenerationPage::Retire() {
    if (mWords == nullptr || !mWritable)
        return;
    __atomic_store_n(&mWords[0], 0, __ATOMIC_RELEASE);
    unlink(mPath.c_str());
    Close();
}

bool GenerationPage::Open(const std::string& path) {
    Close();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat info;
    // Only a file of our own user vouches for our caches.
    const bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == getuid() &&
                        static_cast<size_t>(info.st_size) >= kPageBytes;
    mWords = usable ? Map(fd, false) : nullptr;
    close(fd);
    mWritable = false;
    return mWords != nullptr;
}

void GenerationPage::Close() {
    if (mWords != nullptr)
        munmap(mWords, kPageBytes);
    mWords = nullptr;
    mWritable = false;
}

uint64_t GenerationPage::Current(uint64_t instance) const {
    if (mWords == nullptr || instance == 0)
        return 0;
    // The generation first: if the instance still matches after it, the pair belongs together.
    const uint64_t generation = __atomic_load_n(&mWords[1], __ATOMIC_ACQUIRE);
    return __atomic_load_n(&mWords[0], __ATOMIC_ACQUIRE) == instance ? generation : 0;
}

} // namespace tvb::wire
