// The application object: keeps the forms and data modules in creation order
// and ends the program.
#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/Component.h"

namespace vantora {

class TApplication : public TComponent {
 public:
  // The process's application object.
  static TApplication& Instance();

  // Creates a form or data module owned by the application.  It joins the
  // creation-ordered list only once its constructor has returned, so a
  // program that ends while a form is still being constructed (a CGI request
  // served from the main form's construction) never destroys that
  // half-built form.
  template <class T, class... Args>
  T* CreateForm(Args&&... args) {
    T* form = new T(this, std::forward<Args>(args)...);
    forms_.push_back(form);
    return form;
  }

  int FormCount() const { return static_cast<int>(forms_.size()); }

  // Runs the closing steps not run yet, then destroys every form and data
  // module, last created first, each destruction
  // shielded so that a failing one does not stop the others.  Forms already
  // destroyed are not destroyed again.  Safe to call more than once.
  void DestroyForms();

  // Adds a step that runs when the program begins to end, before the first
  // form is destroyed (a server finishing its work).  Returns its id.
  int AddClosing(std::function<void()> closing);
  void RemoveClosing(int id);

  // Adds a unit's finalization: it runs after the forms are destroyed, when
  // the program ends through TerminateProgram or RunFinalizations, the last
  // added first.  Each runs once.
  void AddFinalization(std::function<void()> finalization);
  // Runs the finalizations not run yet, each shielded like a form's
  // destruction.
  void RunFinalizations();

  // DestroyForms() and RunFinalizations(), then the process ends at once
  // with exit code 0 (standard output is unbuffered, so nothing waits to be
  // flushed).  The library build
  // never calls this: the free routine TerminateProgram does nothing there.
  // Tests install an exit handler that throws to get control back.
  [[noreturn]] void TerminateProgram();
  void SetExitHandlerForTesting(std::function<void(int)> handler);

 private:
  TApplication() : TComponent(nullptr, "Application") {}
  std::vector<TComponent*> forms_;
  std::vector<std::function<void()>> finalizations_;
  std::vector<std::pair<int, std::function<void()>>> closings_;
  int next_closing_ = 0;
  std::function<void(int)> exit_handler_;
};

}  // namespace vantora
