// Matching dictionaries as the device host understands them: a provider class (subclasses
// match too) and/or a BSD name. Any other key is refused rather than silently ignored.
// Threading: plain functions. Ownership: the dictionary is borrowed.
#pragma once

#include <IOKit/IOKitLib.h>

#include "TvbProtocol.h"

#include <optional>
#include <string>

namespace iokit {

struct MatchCriteria {
    std::optional<std::string> providerClass;
    std::optional<std::string> bsdName;
};

// kIOReturnBadArgument for a NULL or ill-typed dictionary, kIOReturnUnsupported for keys
// other than kIOProviderClassKey and kIOBSDNameKey.
IOReturn ParseMatching(CFDictionaryRef matching, MatchCriteria& out);
// The criteria as a match or subscribe-match request carries them.
tvb::wire::Criteria ToWire(const MatchCriteria& criteria);

// The UTF-8 bytes of a CF string; nullopt for NULL or a non-string.
std::optional<std::string> StringFromCF(CFTypeRef value);

} // namespace iokit
