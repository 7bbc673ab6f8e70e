// How an entry point of libvantora.so is declared.
//
// The shared library exports its entry points and nothing else: the program's
// own code comes from the vantora_core archive, whose symbols the link hides
// (cmake/library.cmake), and the units that define entry points are built
// with hidden visibility, so only what is marked VANTORA_EXPORT stays
// visible to the host.  Every entry point begins with StartLibrary()
// (app/VantoraStartup.h), which runs the program start-up on the first call.
//
// Units with entry points are named <unit>_exports.cpp and live in
// adapters/; they go into libvantora.so only, never into vantora_core.
#pragma once

#define VANTORA_EXPORT extern "C" __attribute__((visibility("default")))
