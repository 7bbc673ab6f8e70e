// The first code of libvantora.so to run: marks the process as one that
// loaded the program as a library, before any other initialisation of the
// library (a constructor with a priority runs ahead of every ordinary static
// initialiser of the same object).  Everything that asks how the process was
// started (the facade, the CGI adapter, the program's file name) then sees a
// library.
#include "platform/Paths.h"

namespace {

__attribute__((constructor(101))) void MarkLoadedAsLibrary() { vantora::SetIsLibrary(true); }

}  // namespace
