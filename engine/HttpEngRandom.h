// The engine's random numbers (request numbers, upload file names): one
// process-wide generator, seeded from the clock at start-up.
#pragma once

namespace vantora {

// A uniformly drawn integer in [0, bound).  REQUIRES: bound > 0.  Safe on any
// thread.
int RandomBelow(int bound);

}  // namespace vantora
