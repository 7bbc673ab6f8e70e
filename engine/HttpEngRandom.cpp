#include "engine/HttpEngRandom.h"

#include <chrono>
#include <mutex>
#include <random>

namespace vantora {

int RandomBelow(int bound) {
  static std::mutex mutex;
  static std::mt19937 generator(
      static_cast<unsigned>(std::chrono::high_resolution_clock::now().time_since_epoch().count()));
  std::lock_guard<std::mutex> lock(mutex);
  return std::uniform_int_distribution<int>(0, bound - 1)(generator);
}

}  // namespace vantora
