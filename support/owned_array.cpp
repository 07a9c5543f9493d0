#include "support/owned_array.h"

namespace orvane {

// 指定された要素のインデックスが範囲外 (the index of the specified element is out of range)
char OwnedArrayIndexOutOfRangeText[] =
    "\x8e\x77\x92\xe8\x82\xb3\x82\xea\x82\xbd\x97\x76\x91\x66\x82\xcc\x83\x43\x83\x93"
    "\x83\x66\x83\x62\x83\x4e\x83\x58\x82\xaa\x94\xcd\x88\xcd\x8a\x4f";

template class CArray<char>;
template class CCustomArray<char>;

}  // namespace orvane
