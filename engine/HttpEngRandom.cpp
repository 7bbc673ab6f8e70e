#include "engine/HttpEngRandom.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace vantora {
namespace {

// SplitMix64 (Steele, Lea and Flood, "Fast splittable pseudorandom number
// generators", 2014): a 64-bit counter stepped by a fixed odd constant, its
// value mixed into the output.  One word of state: the numbers drawn here
// (request numbers, upload and relay names) need no more, and a CGI process
// that draws one number touches no more memory than that word.
constexpr uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::atomic<uint64_t>& State() {
  static std::atomic<uint64_t> state{Mix(
      static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()))};
  return state;
}

}  // namespace

int RandomBelow(int bound) {
  // Each draw takes its own step of the counter, so threads drawing at once
  // get different numbers.  The 64-bit value scaled to [0, bound) is as good
  // as uniform: the bias is below bound / 2^64.
  const uint64_t value =
      Mix(State().fetch_add(kGoldenGamma, std::memory_order_relaxed) + kGoldenGamma);
  return static_cast<int>((static_cast<unsigned __int128>(value) * static_cast<uint64_t>(bound)) >>
                          64);
}

}  // namespace vantora
