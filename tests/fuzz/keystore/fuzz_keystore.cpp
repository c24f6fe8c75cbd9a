// Feeds arbitrary bytes to the key store's record parser. Beyond not crashing: the format
// has one encoding of each store, so whatever is accepted is written back byte for byte
// by the encoder; and an accepted store holds only keys the store could have made:
// valid, distinct names, known algorithms, iteration counts in bounds, a machine copy
// exactly when enabled.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "format/store_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tvdev::store::Store store;
  if (!tvdev::store::Decode(data, size, &store)) return 0;
  const tvdev::store::Bytes again = tvdev::store::Encode(store);
  if (again.size() != size || (size && std::memcmp(again.data(), data, size) != 0)) std::abort();
  for (size_t i = 0; i < store.keys.size(); ++i) {
    const auto& k = store.keys[i];
    if (!tvdev::store::ValidName(k.name) || k.algorithm < 0 || k.algorithm > 2) std::abort();
    if (k.iterations < tvdev::store::kMinIterations || k.iterations > tvdev::store::kMaxIterations) std::abort();
    if (k.enabled == k.machineBlob.empty() || k.description.size() > tvdev::store::kMaxDescription) std::abort();
    if (tvdev::store::Find(store, k.name) != &k) std::abort();
  }
  return 0;
}
