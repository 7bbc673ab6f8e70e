/* A host written in C, with no C++ runtime of its own: loads the library
 * named by the first argument the way a web server written in C would,
 * resolves each further argument as an entry point, and when the library
 * has GetExtensionVersion, calls it (which starts the whole program).
 * Prints "loaded" and the description the library gave, and exits 0 when
 * all of that works; otherwise prints why and exits 1. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s LIBRARY [ENTRY POINT...]\n", argv[0]);
    return 1;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    if (dlsym(library, argv[i]) == NULL) {
      fprintf(stderr, "no entry point %s\n", argv[i]);
      return 1;
    }
  }
  /* The extension version record: a 32-bit version and 256 characters. */
  struct {
    uint32_t version;
    char description[256];
  } record;
  memset(&record, 0, sizeof record);
  int32_t (*get_extension_version)(void*) =
      (int32_t(*)(void*))dlsym(library, "GetExtensionVersion");
  if (get_extension_version != NULL && get_extension_version(&record) != 1) {
    fprintf(stderr, "GetExtensionVersion failed\n");
    return 1;
  }
  printf("loaded%s%s\n", record.description[0] ? " " : "", record.description);
  return 0;
}
