// The program's start-up, in this order:
//   1. the adapter units start (the Windows CGI unit notes how the process
//      was started; "--help" and "--version" are answered there and the
//      program ends; the standard CGI unit binds standard input and output);
//   2. the application object is initialised;
//   3. the forms and data modules are created in order: the chart form, the
//      statistics module and, last, the main form, whose engine facade takes
//      over request handling;
//   4. the message loop runs until the program is asked to quit.
//
// A standard CGI request in normal mode is served, and the process ends,
// while the main form is being created (step 3).  That is safe: the
// application destroys only forms whose construction has finished
// (platform/Application.h), and everything the request handler uses is
// created before the main form.
#pragma once

#include <functional>

namespace vantora {

class TApplication;

// Creates the program's forms and data modules, in creation order, through
// TApplication::CreateForm.
using TFormCreator = std::function<void(TApplication& application)>;

// The forms of the vantora program, in their order.
void CreateVantoraForms(TApplication& application);

// Runs the program with the given forms (the vantora program passes
// CreateVantoraForms; test programs pass their own) and returns its exit
// code, 0.  May end the process itself (TerminateProgram).
int RunProgram(int argc, const char* const* argv, const TFormCreator& create_forms);

// The program start-up of the library build (libvantora.so): the process is
// marked as a library, the command line is empty, and the vantora forms are
// created (the main form's facade then creates the library adapters).  There
// is no message loop: the web server's threads call in through the entry
// points.  Runs once per process, on the first call; a call that comes while
// another thread runs the start-up waits for it to finish.  Throws when the
// start-up fails (the next call tries again).  Every entry point of the
// library calls it first.
void StartLibrary();

}  // namespace vantora
