/*
 * CoreFoundation.h — the CoreFoundation subset that the system uses: base types and reference
 * counting, strings, data, numbers and booleans, URLs, UUIDs, arrays, dictionaries and property
 * lists. Each family's header states its own contract; CFBase.h states the common one.
 */
#ifndef PELIO_PLATFORM_COREFOUNDATION_H
#define PELIO_PLATFORM_COREFOUNDATION_H

#include <MacTypes.h>
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFPropertyList.h>
#include <CoreFoundation/CFPlugInCOM.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>
#include <CoreFoundation/CFUUID.h>

#endif /* PELIO_PLATFORM_COREFOUNDATION_H */
