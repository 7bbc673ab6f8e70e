#include "platform/Application.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/Paths.h"

namespace vantora {

TApplication& TApplication::Instance() {
  // Never destroyed: forms are destroyed explicitly by DestroyForms() and the
  // process ends with _exit, so no static destructor runs after it.
  static TApplication* application = new TApplication();
  return *application;
}

void TApplication::DestroyForms() {
  while (!forms_.empty()) {
    TComponent* form = forms_.back();
    forms_.pop_back();
    try {
      delete form;
    } catch (...) {
      // An error while destroying one form must not stop the others.
    }
  }
}

void TApplication::SetExitHandlerForTesting(std::function<void(int)> handler) {
  exit_handler_ = std::move(handler);
}

void TApplication::TerminateProgram() {
  DestroyForms();
  if (exit_handler_) exit_handler_(0);
  ::_exit(0);
}

}  // namespace vantora
