#include "qvcomponent.h"

#include <gtest/gtest.h>

namespace {

struct Watcher : TqvComponent {
  using TqvComponent::TqvComponent;
  TqvComponent* ref = nullptr;
  void Notification(TqvComponent* c, TOperation op) override {
    if (op == TOperation::opRemove && c == ref) ref = nullptr;
  }
  void Handler(TObject*) { ++calls; }
  int calls = 0;
};

struct Counted : TqvComponent {
  Counted(TqvComponent* owner, int& alive) : TqvComponent(owner), alive_(alive) { ++alive_; }
  ~Counted() override { --alive_; }
  int& alive_;
};

}  // namespace

TEST(Component, OwnerDestroysWhatItOwns) {
  int alive = 0;
  {
    TqvComponent owner;
    new Counted(&owner, alive);
    auto* second = new Counted(&owner, alive);
    EXPECT_EQ(alive, 2);
    delete second;  // leaves its owner's list
    EXPECT_EQ(owner.Components().size(), 1u);
  }
  EXPECT_EQ(alive, 0);
}

TEST(Component, FreeNotificationClearsReferencesEitherWay) {
  Watcher watcher;
  {
    TqvComponent referenced;
    watcher.ref = &referenced;
    referenced.FreeNotification(&watcher);
  }
  EXPECT_EQ(watcher.ref, nullptr);

  // The watcher going first must not leave a dangling link behind.
  TqvComponent referenced;
  { Watcher shortLived; referenced.FreeNotification(&shortLived); }
}

TEST(Event, BoundEventsCompareByCodeAndObject) {
  Watcher a, b;
  auto ea = TNotifyEvent::Bind(&a, &Watcher::Handler);
  auto ea2 = TNotifyEvent::Bind(&a, &Watcher::Handler);
  auto eb = TNotifyEvent::Bind(&b, &Watcher::Handler);
  EXPECT_TRUE(ea == ea2);
  EXPECT_TRUE(ea.SameCode(eb));
  EXPECT_FALSE(ea == eb);
  ea(nullptr);
  eb(nullptr);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 1);
  TNotifyEvent empty;
  EXPECT_FALSE(empty);
  int n = 0;
  TNotifyEvent lambda = [&n](TObject*) { ++n; };
  lambda(nullptr);
  EXPECT_EQ(n, 1);
  EXPECT_FALSE(lambda.SameCode(ea));
}
