// Pages of memory made ready in bulk.
//
// A page that a process writes for the first time costs a fault; on some
// hosts (virtual machines) that fault is dear.  Asking the system for all
// pages of a large buffer in one call costs less than faulting them one by
// one, and nothing when they are in use already.
#pragma once

#include <cstddef>

namespace vantora {

// Makes the whole pages within [data, data + bytes) present and writable
// now, keeping what they hold.  Returns whether the system did; where it
// cannot, nothing happens and the pages come on first use as always.
bool PopulatePages(void* data, size_t bytes);

}  // namespace vantora
