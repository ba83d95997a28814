#include <cstdio>
#include <cstdlib>
#include <string>

#include "card/fault_plan.h"
#include "tests/fuzz/fuzz_targets.h"

namespace fuzz {

void Require(bool condition, const std::string& what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
  std::abort();
}

void FaultPlan(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const card::FaultPlanLoad first = card::ParseFaultPlan(text);
  if (!first.error.empty()) {
    Require(first.error.rfind("line ", 0) == 0, "a refusal names its line: " + first.error);
    return;
  }
  const std::string written = card::FormatFaultPlan(first.plan);
  const card::FaultPlanLoad second = card::ParseFaultPlan(written);
  Require(second.error.empty(), "the text form of a plan reads back: " + second.error + "\n" + written);
  Require(card::FormatFaultPlan(second.plan) == written, "a plan survives its text form:\n" + written);
  Require(first.plan.Empty() == written.empty(), "an empty plan has no text");
}

}  // namespace fuzz
