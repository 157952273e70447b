// The registry generation, published by the host in a small file next to its socket
// (SOCKET.generation) that clients map read-only: a client tells whether what it cached is
// still current by reading memory, without asking the host. Two 64-bit words, written and read
// atomically: the host run's instance, then the generation. A host that ends writes instance 0
// before it removes the file, so that mappings of it never vouch for a cache again.
// Threading: Current() and Publish() are safe from any thread.
// Ownership: a page owns its mapping.
#pragma once

#include <cstdint>
#include <string>

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

private:
    uint64_t* mWords = nullptr;
    bool mWritable = false;
    std::string mPath;
};

} // namespace tvb::wire
