// Pieces shared by the collection and property-list stand-ins: argument
// complaints (Apple asserts; we print and carry on), UTF-8 bridging of
// CFStrings, and the container objects themselves for code that walks them.
// Threading: no shared state. Ownership: as stated per function.
#pragma once

#include "CFRuntime_Internal.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFDictionary.h>

#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "tvb/Recycler.h"

// Prints "function: message" to stderr. Used where Mac OS X would assert or crash.

// UTF-8 form of a string through the public CFString API; false (out empty) for NULL
// or for text with no UTF-8 form (an unpaired surrogate).
bool __CFStringCopyUTF8(CFStringRef string, std::string& out);
// A new immutable string from UTF-8 bytes; NULL when they are not valid UTF-8.
CFStringRef __CFStringCreateFromUTF8(CFAllocatorRef allocator, const std::string& bytes);
// The description of a value through a copy-description call-back, or "<0x...>" without one.
std::string __CFDescribeValue(const void* value, CFStringRef (*copyDescription)(const void*));

struct __CFArray final : __CFRuntimeBase {
    __CFArray(CFAllocatorRef allocator, const CFArrayCallBacks* callBacks, bool isMutable,
              CFIndex capacity);
    ~__CFArray() override;

    bool Equal(const __CFRuntimeBase* other) const override;
    CFHashCode Hash() const override;
    std::string Describe() const override;

    const void* RetainValue(const void* value) const;
    void ReleaseValue(const void* value) const;
    bool ValuesEqual(const void* a, const void* b) const;

    CFArrayCallBacks mCallBacks;
    const bool mMutable;
    const CFIndex mCapacity; // 0: no limit
    std::vector<const void*> mValues;
};

struct __CFDictionary final : __CFRuntimeBase {
    struct Entry {
        const void* key;
        const void* value;
        // Small dictionaries hash a stored key only when a look-up by another object needs it.
        mutable CFHashCode hash = 0;
        mutable bool hashed = false;
    };
    // Matching dictionaries are made and freed for every volume of a walk: the object and its
    // entries reuse their memory.
    using Entries = std::list<Entry, tvb::RecyclingAllocator<Entry>>;
    static void* operator new(size_t size) {
        return size == sizeof(__CFDictionary) ? tvb::BlockRecycler<sizeof(__CFDictionary)>::Take()
                                              : ::operator new(size);
    }
    static void operator delete(void* block, size_t size) {
        if (size == sizeof(__CFDictionary))
            tvb::BlockRecycler<sizeof(__CFDictionary)>::Give(block);
        else
            ::operator delete(block);
    }

    __CFDictionary(CFAllocatorRef allocator, const CFDictionaryKeyCallBacks* keyCallBacks,
                   const CFDictionaryValueCallBacks* valueCallBacks, bool isMutable,
                   CFIndex capacity);
    ~__CFDictionary() override;

    bool Equal(const __CFRuntimeBase* other) const override;
    CFHashCode Hash() const override;
    std::string Describe() const override;

    CFHashCode HashKey(const void* key) const;
    CFHashCode HashOf(const Entry& entry) const;
    Entries::iterator Find(const void* key);
    Entries::const_iterator Find(const void* key) const;
    bool ValuesEqual(const void* a, const void* b) const;
    // Stores a new pair; the key and value pass through the retain call-backs.
    void Insert(const void* key, const void* value);
    void Erase(Entries::iterator entry);
    void Clear();

    CFDictionaryKeyCallBacks mKeyCallBacks;
    CFDictionaryValueCallBacks mValueCallBacks;
    const bool mMutable;
    const CFIndex mCapacity; // 0: no limit
    Entries mEntries;        // insertion order
    // Small dictionaries (matching dictionaries, made per volume of a walk) are searched in
    // order; the index is built once the count passes kLinearLimit and kept until Clear.
    static constexpr size_t kLinearLimit = 8;
    bool mIndexed = false;
    std::unordered_multimap<CFHashCode, Entries::iterator> mIndex;
};
