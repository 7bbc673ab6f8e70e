/* A host written in C, with no C++ runtime of its own: loads the library
 * named by the first argument the way a web server written in C would, and
 * resolves each further argument as an entry point.  Prints "loaded" and
 * exits 0 when all of that works; otherwise prints why and exits 1. */
#include <dlfcn.h>
#include <stdio.h>

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
  printf("loaded\n");
  return 0;
}
