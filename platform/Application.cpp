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

int TApplication::AddClosing(std::function<void()> closing) {
  closings_.emplace_back(++next_closing_, std::move(closing));
  return next_closing_;
}

void TApplication::RemoveClosing(int id) {
  for (auto it = closings_.begin(); it != closings_.end(); ++it) {
    if (it->first == id) {
      closings_.erase(it);
      return;
    }
  }
}

void TApplication::DestroyForms() {
  while (!closings_.empty()) {
    std::function<void()> closing = std::move(closings_.back().second);
    closings_.pop_back();
    try {
      closing();
    } catch (...) {
    }
  }
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

void TApplication::AddFinalization(std::function<void()> finalization) {
  finalizations_.push_back(std::move(finalization));
}

void TApplication::RunFinalizations() {
  while (!finalizations_.empty()) {
    std::function<void()> finalization = std::move(finalizations_.back());
    finalizations_.pop_back();
    try {
      finalization();
    } catch (...) {
      // One unit's failing finalization must not stop the others.
    }
  }
}

void TApplication::TerminateProgram() {
  DestroyForms();
  RunFinalizations();
  if (exit_handler_) exit_handler_(0);
  ::_exit(0);
}

}  // namespace vantora
