// The registry generation, published by the host in a small file next to its socket
// (SOCKET.generation) that clients map read-only: a client tells whether what it cached is
// still current by reading memory, without asking the host. Two 64-bit words, written and read
// atomically: the host run's instance, then the generation. A host that ends writes instance 0
// before it removes the file, so that mappings of it never vouch for a cache again. A host that
// dies cannot: for it the page holds a process-shared robust mutex that the host locks for its
// whole run. The kernel marks a robust mutex's word when its owner dies (FUTEX_OWNER_DIED), so a
// client tells a dead host from a live one by reading that word, still without a system call.
// Threading: Current() and Publish() are safe from any thread; Create() and Retire() (or the
// destructor) belong on one thread, the one that holds the mutex.
// Ownership: a page owns its mapping.
#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

namespace tvb::wire {

class GenerationPage {
public:
    static std::string PathFor(const std::string& socketPath);

    GenerationPage() = default;
    ~GenerationPage();
    GenerationPage(const GenerationPage&) = delete;
    GenerationPage& operator=(const GenerationPage&) = delete;

    // The host: creates the file (or takes over a stale one in place) for run `instance`.
    bool Create(const std::string& path, uint64_t instance);
    void Publish(uint64_t generation);
    // The host is ending: marks the page gone and removes the file.
    void Retire();

    // A client: maps the file read-only; false (and Current() 0) when there is none.
    bool Open(const std::string& path);
    void Close();
    // The generation host run `instance` published; 0 when unknown or another run's.
    uint64_t Current(uint64_t instance) const;

    struct Layout;

private:
    bool OwnerAlive() const;

    Layout* mPage = nullptr;
    pid_t mOwnerThread = 0; // the writer's thread that holds the mutex
    bool mWritable = false;
    pid_t mOwnerPid = 0;
    std::string mPath;
};

} // namespace tvb::wire
