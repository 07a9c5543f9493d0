#pragma once

#include <windows.h>
#include <pdh.h>

#include "support/owned_array.h"

namespace orvane {

// Finds the performance-counter path of a process from its ID.
//
// PDH names processes by instance ("name" or "name#n" for the n-th duplicate), not by
// ID, so the lookup walks the instances of the "Process" object, reads each one's
// "ID Process" counter, and composes the path of `counterName` under `objectName` for
// the instance whose ID matches. Every PDH call goes through seams/pdh.h.
//
// Returns a new array (release it with delete[]), or null when no instance carries the
// ID, the instance list is empty or unavailable, or PDH cannot compose the path.
// A process that ends during the walk is no match. Out of memory throws std::bad_alloc.
//
// Bytes outside ASCII: every PDH call is an ANSI one (the ...A functions), so every
// name in and out is in the process's ANSI code page, and nothing here converts,
// folds or decodes it. The instance names are taken as PdhEnumObjectItemsA gives them,
// each a run of bytes up to its NUL (stepped over with lstrlenA, which counts bytes);
// two instances count as duplicates only when their bytes are equal (strcmp: no case
// folding, no width or normalisation rules); a name goes into the probe path, which
// PdhAddCounterA reads in the same code page, and into the result exactly as given.
// A Shift-JIS name with a trail byte 0x5C, such as 表 (0x95 0x5C), is one name like
// any other: that byte is not taken for a path separator here. A process name with
// characters the ANSI code page lacks arrives as PDH's conversion leaves it ('?' or a
// look-alike), which may no longer name that process, and two such names may become
// one (shifting the #n of the later ones): that process may then go unfound, but a
// path is only ever returned for an instance whose "ID Process" read the wanted ID.
char *FindProcessCounterPath(const char *objectName, const char *counterName, DWORD processId);

// Asks PDH to refresh its cached objects and instances; returns PdhEnumObjectsA's status.
PDH_STATUS RefreshPerformanceObjects();

// The instance names of `objectName` as a multi-string (names, each NUL-terminated,
// closed by an empty name), in a new array the caller releases with delete[]. The
// array is sized to the whole list as PDH reports it; it reads as empty when PDH
// lists nothing or fails.
char *EnumObjectInstances(const char *objectName);

// How many entries of `seenNames` equal `name` byte for byte (case-sensitive); then
// appends a copy of `name` to `seenNames`, which takes it over.
int CountEarlierInstances(CCustomArray<char> *seenNames, const char *name);

// The counter path PdhMakeCounterPathA composes from the elements, in a new array the
// caller releases with delete[]. An `instanceIndex` of 0 is passed on as 0xFFFFFFFF
// (no duplicate index). The array starts at 64 characters and doubles while PDH
// reports it too short; any other failure gives null, as does a success that leaves
// no NUL within the array.
char *MakeCounterPath(const char *machine, const char *object, const char *instance, const char *parent,
                      const char *counter, int instanceIndex);

}  // namespace orvane

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using orvane::CountEarlierInstances;
using orvane::EnumObjectInstances;
using orvane::FindProcessCounterPath;
using orvane::MakeCounterPath;
using orvane::RefreshPerformanceObjects;
#endif
