// Bridges between CoreFoundation property lists and libplist nodes, for the
// stand-ins that read preferences files or carry properties over a socket.
// Threading: no shared state. Ownership: the CF result is a new reference the
// caller releases; the plist_t result is a new tree the caller frees with
// plist_free (or hands to a PlistNodePtr).
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFPropertyList.h>

#include <plist/plist.h>

#include <memory>

struct __CFPlistNodeDeleter {
    void operator()(plist_t node) const {
        if (node != nullptr)
            plist_free(node);
    }
};
using __CFPlistNodePtr = std::unique_ptr<void, __CFPlistNodeDeleter>;

// Strings, integers (signed and unsigned 64-bit), reals, booleans, data, arrays and
// dictionaries; NULL when the tree holds anything else (dates, UIDs) or bad UTF-8.
CFPropertyListRef __CFPropertyListCreateFromPlistNode(plist_t node);
// As above, with kCFPropertyListMutableContainers / ...AndLeaves honoured.
CFPropertyListRef __CFPropertyListCreateFromPlistNodeWithOptions(plist_t node,
                                                                 CFOptionFlags mutabilityOption);
// NULL when plist is not a property list of the types above.
plist_t __CFPropertyListCopyPlistNode(CFPropertyListRef plist);
