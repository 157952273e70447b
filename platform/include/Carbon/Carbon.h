// Umbrella header: includes every Carbon stand-in header, nothing else.
#pragma once

#include <MacTypes.h>
#include <CoreFoundation/CoreFoundation.h>
#include <Carbon/AEDataModel.h>
#include <Carbon/AppleEvents.h>
#include <Carbon/CarbonEvents.h>
#include <Carbon/Processes.h>
#include <Carbon/LaunchServices.h>
#include <Carbon/MacErrors.h>
#include <Carbon/Files.h>
#include <Carbon/Folders.h>
