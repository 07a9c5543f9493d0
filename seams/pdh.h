#pragma once

#include <windows.h>
#include <pdh.h>

#include "seams/seam.h"

namespace seams {
using PdhEnumObjectsAFn = PDH_STATUS(WINAPI *)(LPCSTR, LPCSTR, LPSTR, LPDWORD, DWORD, BOOL);
using PdhEnumObjectItemsAFn = PDH_STATUS(WINAPI *)(LPCSTR, LPCSTR, LPCSTR, LPSTR, LPDWORD, LPSTR, LPDWORD, DWORD,
                                                   DWORD);
using PdhOpenQueryAFn = PDH_STATUS(WINAPI *)(LPCSTR, DWORD_PTR, PDH_HQUERY *);
using PdhAddCounterAFn = PDH_STATUS(WINAPI *)(PDH_HQUERY, LPCSTR, DWORD_PTR, PDH_HCOUNTER *);
using PdhCollectQueryDataFn = PDH_STATUS(WINAPI *)(PDH_HQUERY);
using PdhGetFormattedCounterValueFn = PDH_STATUS(WINAPI *)(PDH_HCOUNTER, DWORD, LPDWORD, PPDH_FMT_COUNTERVALUE);
using PdhCloseQueryFn = PDH_STATUS(WINAPI *)(PDH_HQUERY);
using PdhMakeCounterPathAFn = PDH_STATUS(WINAPI *)(PPDH_COUNTER_PATH_ELEMENTS_A, LPSTR, LPDWORD, DWORD);

inline PdhEnumObjectsAFn PdhEnumObjectsA = ::PdhEnumObjectsA;
inline PdhEnumObjectItemsAFn PdhEnumObjectItemsA = ::PdhEnumObjectItemsA;
inline PdhOpenQueryAFn PdhOpenQueryA = ::PdhOpenQueryA;
inline PdhAddCounterAFn PdhAddCounterA = ::PdhAddCounterA;
inline PdhCollectQueryDataFn PdhCollectQueryData = ::PdhCollectQueryData;
inline PdhGetFormattedCounterValueFn PdhGetFormattedCounterValue = ::PdhGetFormattedCounterValue;
inline PdhCloseQueryFn PdhCloseQuery = ::PdhCloseQuery;
inline PdhMakeCounterPathAFn PdhMakeCounterPathA = ::PdhMakeCounterPathA;
}  // namespace seams
