#include "platform/Resolver.h"

#include <gtest/gtest.h>

#include <thread>

namespace vantora {
namespace {

using std::chrono::milliseconds;

TEST(ResolverTest, DeadlineGivesUpOnASlowLookupButNotOnAQuickOne) {
  auto quick = std::make_shared<FakeResolver>("quick.example");
  EXPECT_EQ(LookupWithDeadline(quick, "10.0.0.1", milliseconds(5000)), "quick.example");
  EXPECT_EQ(quick->last_address(), "10.0.0.1");

  auto failing = std::make_shared<FakeResolver>("");
  EXPECT_EQ(LookupWithDeadline(failing, "10.0.0.2", milliseconds(5000)), "");

  // The helper thread outlives the wait and keeps the resolver alive: the
  // caller may drop its reference at once.
  auto slow = std::make_shared<FakeResolver>("slow.example", milliseconds(200));
  std::weak_ptr<FakeResolver> watch = slow;
  EXPECT_EQ(LookupWithDeadline(slow, "10.0.0.3", milliseconds(10)), std::nullopt);
  slow.reset();
  while (!watch.expired()) std::this_thread::sleep_for(milliseconds(10));
}

TEST(ResolverTest, SystemResolverAnswersNumericAddressesOnly) {
  const auto resolver = SystemResolver();
  // The loopback address has a name in every hosts file we run on.
  EXPECT_FALSE(resolver->Lookup("127.0.0.1").empty());
  for (const char* text : {"", "not-an-address", "300.1.1.1", "localhost", "10.0.0.1; rm"}) {
    EXPECT_EQ(resolver->Lookup(text), "") << text;
  }
}

}  // namespace
}  // namespace vantora
