// Record values for the fleet's tests: exact in binary and in at most 7
// digits, different for every element and record, so a value read back
// tells which record and element it came from.
#pragma once

#include "store/record_format.h"

namespace varnel::fleet::testing {

// Element e of record r is (r * 1000 + e) / 8; elements of channels the
// record does not have are 0.
store::RecordValues RecordValuesOf(int r, int channels);

}  // namespace varnel::fleet::testing
