#include "platform/Resolver.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vantora {
namespace {

using std::chrono::milliseconds;

TEST(ResolverTest, TheFakeKeepsTheDeadlineOnTheCallingThread) {
  auto quick = std::make_shared<FakeResolver>("quick.example");
  EXPECT_EQ(LookupWithDeadline(quick, "10.0.0.1", milliseconds(5000)), "quick.example");
  EXPECT_EQ(quick->last_address(), "10.0.0.1");

  auto failing = std::make_shared<FakeResolver>("");
  EXPECT_EQ(LookupWithDeadline(failing, "10.0.0.2", milliseconds(5000)), "");

  auto slow = std::make_shared<FakeResolver>("slow.example", milliseconds(200));
  EXPECT_EQ(LookupWithDeadline(slow, "10.0.0.3", milliseconds(10)), std::nullopt);
  EXPECT_EQ(slow->calls(), 1);
}

class ThrowingResolver : public Resolver {
 public:
  std::optional<std::string> Lookup(const std::string&, milliseconds) override {
    throw std::runtime_error("no resolver");
  }
};

TEST(ResolverTest, AResolverThatThrowsGivesNoName) {
  EXPECT_EQ(LookupWithDeadline(std::make_shared<ThrowingResolver>(), "10.0.0.1", milliseconds(50)),
            "");
}

TEST(ResolverTest, SystemResolverAnswersNumericAddressesOnly) {
  const auto resolver = SystemResolver();
  // The loopback address has a name in every hosts file we run on.
  EXPECT_FALSE(resolver->Lookup("127.0.0.1", milliseconds(5000)).value_or("").empty());
  for (const char* text : {"", "not-an-address", "300.1.1.1", "localhost", "10.0.0.1; rm"}) {
    EXPECT_EQ(resolver->Lookup(text, milliseconds(5000)), "") << text;
  }
}

}  // namespace
}  // namespace vantora
