// Placeholder until its owner lands it.
#pragma once
#include <CoreFoundation/CFBase.h>
