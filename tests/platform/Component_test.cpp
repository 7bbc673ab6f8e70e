#include "platform/Component.h"

#include <gtest/gtest.h>

#include "platform/Application.h"

namespace vantora {
namespace {

std::vector<std::string>* destroyed = nullptr;

class Recorder : public TComponent {
 public:
  Recorder(TComponent* owner, std::string name) : TComponent(owner, std::move(name)) {}
  ~Recorder() override { destroyed->push_back(Name()); }
};

TEST(Component, OwnerDestroysChildrenLastFirstAndOnlyOnce) {
  std::vector<std::string> log;
  destroyed = &log;
  auto* root = new Recorder(nullptr, "root");
  new Recorder(root, "a");
  auto* b = new Recorder(root, "b");
  new Recorder(b, "b1");
  auto* c = new Recorder(root, "c");
  EXPECT_EQ(root->FindComponent("B"), b);
  delete c;  // leaves its owner's list
  EXPECT_EQ(root->ComponentCount(), 2);
  delete root;
  // Each destructor body runs before its owned components go, last first.
  EXPECT_EQ(log, (std::vector<std::string>{"c", "root", "b", "b1", "a"}));
  destroyed = nullptr;
}

struct ExitCalled {
  int code;
};

class SelfTerminating : public TComponent {
 public:
  explicit SelfTerminating(TComponent* owner) : TComponent(owner, "Main") {
    // Ends the program while still being constructed, as a CGI request
    // served from the main form's construction does.
    TApplication::Instance().TerminateProgram();
  }
  ~SelfTerminating() override { destroyed->push_back("Main"); }
};

TEST(Application, TerminateDuringConstructionDestroysOnlyFinishedForms) {
  std::vector<std::string> log;
  destroyed = &log;
  TApplication& app = TApplication::Instance();
  app.SetExitHandlerForTesting([](int code) { throw ExitCalled{code}; });
  app.CreateForm<Recorder>("Charts");
  app.CreateForm<Recorder>("Stat");
  try {
    app.CreateForm<SelfTerminating>();
    FAIL() << "TerminateProgram returned";
  } catch (const ExitCalled& exit) {
    EXPECT_EQ(exit.code, 0);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"Stat", "Charts"}));
  EXPECT_EQ(app.FormCount(), 0);
  app.DestroyForms();  // a second call destroys nothing again
  EXPECT_EQ(log.size(), 2u);
  app.SetExitHandlerForTesting(nullptr);
  destroyed = nullptr;
}

}  // namespace
}  // namespace vantora
