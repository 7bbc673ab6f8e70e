// The dynamic loader as the way to open the NSAPI server library.  A unit of
// its own: only the library build and the tests refer to it, so the
// statically linked executable carries no dlopen.
#include <dlfcn.h>

#include "adapters/NSapiServer.h"

namespace vantora {

void* OpenWithDynamicLoader(const std::string& name) {
  return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void UseDynamicLoaderForServerLibrary() { SetServerLibraryOpener(&OpenWithDynamicLoader); }

}  // namespace vantora
