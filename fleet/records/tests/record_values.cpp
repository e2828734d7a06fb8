#include "record_values.h"

namespace varnel::fleet::testing {

store::RecordValues RecordValuesOf(int r, int channels) {
  store::RecordValues v{};
  for (std::size_t e = 0; e < v.size(); ++e) {
    const bool measured = e < 8 || (e >= store::ComponentIndex(0, 0) && e < store::ComponentIndex(channels, 0)) ||
                          (e >= store::PeakIndex(0, 0) && e < store::PeakIndex(channels, 0));
    v[e] = measured ? static_cast<float>(r * 1000 + static_cast<int>(e)) / 8.0f : 0.0f;
  }
  return v;
}

}  // namespace varnel::fleet::testing
