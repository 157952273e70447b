// Registry keys of the BSD layer. The keys themselves live in IOKitKeys.h.
#pragma once

#include <IOKit/IOKitKeys.h>
