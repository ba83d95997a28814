// libFuzzer's entry point for one target, chosen when the program is built
// (SMFORMAT_FUZZ_TARGET names a function of fuzz_targets.h).
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::SMFORMAT_FUZZ_TARGET(data, size);
  return 0;
}
