#include "CFCollections_Internal.h"

#include <CoreFoundation/CFString.h>

#include <vector>

namespace {

const void* TypeRetain(CFAllocatorRef, const void* value) {
    return CFRetain(value);
}
void TypeRelease(CFAllocatorRef, const void* value) {
    CFRelease(value);
}

// Keys are frozen so that changing a mutable string later cannot move it in the hash.
const void* CopyStringRetain(CFAllocatorRef allocator, const void* value) {
    if (CFGetTypeID(value) != CFStringGetTypeID())
        return CFRetain(value);
    return CFStringCreateCopy(allocator, static_cast<CFStringRef>(value));
}

__CFDictionary* AsDictionary(CFDictionaryRef dict, const char* function) {
    auto* object = __CFCast<__CFDictionary>(dict, __kCFDictionaryTypeID);
    if (object == nullptr)
        __CFComplain(function, dict ? "not a CFDictionary" : "NULL dictionary");
    return object;
}

__CFDictionary* AsMutableDictionary(CFMutableDictionaryRef dict, const char* function) {
    auto* object = AsDictionary(dict, function);
    if (object != nullptr && !object->mMutable) {
        __CFComplain(function, "attempt to change an immutable dictionary");
        return nullptr;
    }
    return object;
}

bool HasRoomForOneMore(const __CFDictionary* dict, const char* function) {
    if (dict->mCapacity == 0 || static_cast<CFIndex>(dict->mEntries.size()) < dict->mCapacity)
        return true;
    __CFComplain(function, "dictionary is at its capacity; pair not added");
    return false;
}

void ReplaceValue(__CFDictionary* dict, __CFDictionary::Entry& entry, const void* value) {
    // Retain before release: replacing a value by itself must not free it.
    const void* old = entry.value;
    entry.value = dict->mValueCallBacks.retain
                      ? dict->mValueCallBacks.retain(CFGetAllocator(dict), value)
                      : value;
    if (dict->mValueCallBacks.release)
        dict->mValueCallBacks.release(CFGetAllocator(dict), old);
}

__CFDictionary* CopyOf(CFAllocatorRef allocator, const __CFDictionary* source, bool isMutable,
                       CFIndex capacity) {
    auto* copy = new __CFDictionary(allocator, &source->mKeyCallBacks, &source->mValueCallBacks,
                                    isMutable, capacity);
    for (const auto& entry : source->mEntries)
        copy->Insert(entry.key, entry.value);
    return copy;
}

} // namespace

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, TypeRetain, TypeRelease, CFCopyDescription, CFEqual, CFHash};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0, CopyStringRetain, TypeRelease, CFCopyDescription, CFEqual, CFHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, TypeRetain, TypeRelease,
                                                                    CFCopyDescription, CFEqual};

__CFDictionary::__CFDictionary(CFAllocatorRef allocator,
                               const CFDictionaryKeyCallBacks* keyCallBacks,
                               const CFDictionaryValueCallBacks* valueCallBacks, bool isMutable,
                               CFIndex capacity)
    : __CFRuntimeBase(__kCFDictionaryTypeID, allocator), mKeyCallBacks(), mValueCallBacks(),
      mMutable(isMutable), mCapacity(capacity) {
    if (keyCallBacks != nullptr)
        mKeyCallBacks = *keyCallBacks;
    if (valueCallBacks != nullptr)
        mValueCallBacks = *valueCallBacks;
}

__CFDictionary::~__CFDictionary() {
    Clear();
}

CFHashCode __CFDictionary::HashKey(const void* key) const {
    return mKeyCallBacks.hash ? mKeyCallBacks.hash(key) : reinterpret_cast<CFHashCode>(key);
}

// Readers of one dictionary may run at once, so the late hash is stored atomically (any two
// threads store the same value).
CFHashCode __CFDictionary::HashOf(const Entry& entry) const {
    if (__atomic_load_n(&entry.hashed, __ATOMIC_ACQUIRE))
        return __atomic_load_n(&entry.hash, __ATOMIC_RELAXED);
    const CFHashCode hash = HashKey(entry.key);
    __atomic_store_n(&entry.hash, hash, __ATOMIC_RELAXED);
    __atomic_store_n(&entry.hashed, true, __ATOMIC_RELEASE);
    return hash;
}

__CFDictionary::Entries::iterator __CFDictionary::Find(const void* key) {
    if (!mIndexed) {
        for (auto it = mEntries.begin(); it != mEntries.end(); ++it) {
            if (it->key == key)
                return it;
        }
        if (mEntries.empty() || !mKeyCallBacks.equal)
            return mEntries.end();
        const CFHashCode hash = HashKey(key);
        for (auto it = mEntries.begin(); it != mEntries.end(); ++it) {
            if (HashOf(*it) == hash && mKeyCallBacks.equal(key, it->key))
                return it;
        }
        return mEntries.end();
    }
    auto range = mIndex.equal_range(HashKey(key));
    for (auto it = range.first; it != range.second; ++it) {
        const void* stored = it->second->key;
        if (stored == key || (mKeyCallBacks.equal && mKeyCallBacks.equal(key, stored)))
            return it->second;
    }
    return mEntries.end();
}

__CFDictionary::Entries::const_iterator __CFDictionary::Find(const void* key) const {
    return const_cast<__CFDictionary*>(this)->Find(key);
}

bool __CFDictionary::ValuesEqual(const void* a, const void* b) const {
    return a == b || (mValueCallBacks.equal && mValueCallBacks.equal(a, b));
}

void __CFDictionary::Insert(const void* key, const void* value) {
    CFAllocatorRef allocator = CFGetAllocator(this);
    const void* storedKey = mKeyCallBacks.retain ? mKeyCallBacks.retain(allocator, key) : key;
    const void* storedValue =
        mValueCallBacks.retain ? mValueCallBacks.retain(allocator, value) : value;
    // The stored key may be a copy (kCFCopyStringDictionaryKeyCallBacks); hash what is stored.
    mEntries.push_back(Entry{storedKey, storedValue});
    if (mIndexed) {
        mIndex.emplace(HashOf(mEntries.back()), std::prev(mEntries.end()));
    } else if (mEntries.size() > kLinearLimit) {
        for (auto it = mEntries.begin(); it != mEntries.end(); ++it)
            mIndex.emplace(HashOf(*it), it);
        mIndexed = true;
    }
}

void __CFDictionary::Erase(Entries::iterator entry) {
    if (mIndexed) {
        auto range = mIndex.equal_range(HashOf(*entry));
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == entry) {
                mIndex.erase(it);
                break;
            }
        }
    }
    Entry removed = *entry;
    mEntries.erase(entry);
    CFAllocatorRef allocator = CFGetAllocator(this);
    if (mKeyCallBacks.release)
        mKeyCallBacks.release(allocator, removed.key);
    if (mValueCallBacks.release)
        mValueCallBacks.release(allocator, removed.value);
}

void __CFDictionary::Clear() {
    // Detach first, so release call-backs never see a half-emptied dictionary.
    Entries removed;
    removed.swap(mEntries);
    mIndex.clear();
    mIndexed = false;
    CFAllocatorRef allocator = CFGetAllocator(this);
    for (const auto& entry : removed) {
        if (mKeyCallBacks.release)
            mKeyCallBacks.release(allocator, entry.key);
        if (mValueCallBacks.release)
            mValueCallBacks.release(allocator, entry.value);
    }
}

bool __CFDictionary::Equal(const __CFRuntimeBase* other) const {
    auto* that = static_cast<const __CFDictionary*>(other);
    if (mEntries.size() != that->mEntries.size())
        return false;
    for (const auto& entry : mEntries) {
        auto found = that->Find(entry.key);
        if (found == that->mEntries.end() || !ValuesEqual(entry.value, found->value))
            return false;
    }
    return true;
}

// Equal dictionaries may differ in order and key identity; only the count is safe to hash.
CFHashCode __CFDictionary::Hash() const {
    return mEntries.size();
}

std::string __CFDictionary::Describe() const {
    std::string text = mMutable ? "type = mutable" : "type = immutable";
    text += ", count = " + std::to_string(mEntries.size()) + ", entries =>";
    size_t i = 0;
    for (const auto& entry : mEntries) {
        text += "\n\t" + std::to_string(i++) + " : " +
                __CFDescribeValue(entry.key, mKeyCallBacks.copyDescription) + " = " +
                __CFDescribeValue(entry.value, mValueCallBacks.copyDescription);
    }
    text += "\n";
    return text;
}

CFTypeID CFDictionaryGetTypeID(void) {
    return __kCFDictionaryTypeID;
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
    if (numValues < 0 || (numValues > 0 && (keys == nullptr || values == nullptr))) {
        __CFComplain(__func__, "bad key or value list");
        return nullptr;
    }
    auto* dict = new __CFDictionary(allocator, keyCallBacks, valueCallBacks, false, 0);
    for (CFIndex i = 0; i < numValues; ++i) {
        // A repeated key keeps its first value.
        if (dict->Find(keys[i]) == dict->mEntries.end())
            dict->Insert(keys[i], values[i]);
    }
    return dict;
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef allocator, CFDictionaryRef theDict) {
    auto* source = AsDictionary(theDict, __func__);
    return source ? CopyOf(allocator, source, false, 0) : nullptr;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    if (capacity < 0) {
        __CFComplain(__func__, "negative capacity");
        return nullptr;
    }
    return new __CFDictionary(allocator, keyCallBacks, valueCallBacks, true, capacity);
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                                     CFDictionaryRef theDict) {
    auto* source = AsDictionary(theDict, __func__);
    if (source == nullptr)
        return nullptr;
    if (capacity < 0 ||
        (capacity != 0 && capacity < static_cast<CFIndex>(source->mEntries.size()))) {
        __CFComplain(__func__, "capacity smaller than the dictionary to copy");
        return nullptr;
    }
    return CopyOf(allocator, source, true, capacity);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
    auto* dict = AsDictionary(theDict, __func__);
    return dict ? static_cast<CFIndex>(dict->mEntries.size()) : 0;
}

CFIndex CFDictionaryGetCountOfKey(CFDictionaryRef theDict, const void* key) {
    return CFDictionaryContainsKey(theDict, key) ? 1 : 0;
}

CFIndex CFDictionaryGetCountOfValue(CFDictionaryRef theDict, const void* value) {
    auto* dict = AsDictionary(theDict, __func__);
    if (dict == nullptr)
        return 0;
    CFIndex count = 0;
    for (const auto& entry : dict->mEntries) {
        if (dict->ValuesEqual(value, entry.value))
            ++count;
    }
    return count;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key) {
    auto* dict = AsDictionary(theDict, __func__);
    return dict != nullptr && dict->Find(key) != dict->mEntries.end();
}

Boolean CFDictionaryContainsValue(CFDictionaryRef theDict, const void* value) {
    return CFDictionaryGetCountOfValue(theDict, value) > 0;
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    const void* value = nullptr;
    return CFDictionaryGetValueIfPresent(theDict, key, &value) ? value : nullptr;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key,
                                      const void** value) {
    auto* dict = AsDictionary(theDict, __func__);
    if (dict == nullptr)
        return false;
    auto found = dict->Find(key);
    if (found == dict->mEntries.end())
        return false;
    if (value != nullptr)
        *value = found->value;
    return true;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
    auto* dict = AsDictionary(theDict, __func__);
    if (dict == nullptr)
        return;
    size_t i = 0;
    for (const auto& entry : dict->mEntries) {
        if (keys != nullptr)
            keys[i] = entry.key;
        if (values != nullptr)
            values[i] = entry.value;
        ++i;
    }
}

void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier,
                               void* context) {
    auto* dict = AsDictionary(theDict, __func__);
    if (dict == nullptr || applier == nullptr)
        return;
    for (const auto& entry : dict->mEntries)
        applier(entry.key, entry.value, context);
}

namespace {

// Add, set and replace differ only in whether they store a missing key and change a present one.
enum StoreRule : unsigned { kAddMissing = 1, kReplacePresent = 2 };

void Store(CFMutableDictionaryRef theDict, const void* key, const void* value, unsigned rule,
           const char* function) {
    auto* dict = AsMutableDictionary(theDict, function);
    if (dict == nullptr)
        return;
    auto found = dict->Find(key);
    if (found != dict->mEntries.end()) {
        if (rule & kReplacePresent)
            ReplaceValue(dict, *found, value);
    } else if ((rule & kAddMissing) && HasRoomForOneMore(dict, function)) {
        dict->Insert(key, value);
    }
}

} // namespace

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    Store(theDict, key, value, kAddMissing, __func__);
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    Store(theDict, key, value, kAddMissing | kReplacePresent, __func__);
}

void CFDictionaryReplaceValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    Store(theDict, key, value, kReplacePresent, __func__);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key) {
    auto* dict = AsMutableDictionary(theDict, __func__);
    if (dict == nullptr)
        return;
    auto found = dict->Find(key);
    if (found != dict->mEntries.end())
        dict->Erase(found);
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict) {
    auto* dict = AsMutableDictionary(theDict, __func__);
    if (dict != nullptr)
        dict->Clear();
}
