#include <gtest/gtest.h>

#include "DvSysUtils.h"

using namespace dv;

TEST(DateTime, EncodeDecodeRoundTripsAcrossEpochs) {
  struct Case {
    int y, mo, d, h, mi, s, ms;
  } cases[] = {{1899, 12, 30, 0, 0, 0, 0},     {1970, 1, 1, 0, 0, 0, 0},
               {2000, 2, 29, 23, 59, 59, 999}, {1601, 1, 1, 12, 0, 0, 0},
               {9999, 12, 31, 1, 2, 3, 4},     {2026, 12, 5, 14, 2, 58, 0}};
  for (const auto& c : cases) {
    const TDateTime dt = TDateTime::Encode(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms);
    int y, mo, d, h, mi, s, ms;
    dt.Decode(y, mo, d, h, mi, s, ms);
    EXPECT_EQ(std::make_tuple(y, mo, d, h, mi, s, ms),
              std::make_tuple(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms));
  }
  EXPECT_TRUE(TDateTime::Encode(1899, 12, 30).IsZero());
  EXPECT_DOUBLE_EQ(TDateTime::Encode(1970, 1, 1).Value, 25569.0);
  EXPECT_EQ(TDateTime::Encode(1970, 1, 1, 0, 0, 1).ToUnixMilliseconds(), 1000);
}

TEST(DateTime, EncodeRejectsImpossibleDates) {
  EXPECT_THROW(TDateTime::Encode(2023, 2, 29), EConvertError);
  EXPECT_THROW(TDateTime::Encode(2023, 13, 1), EConvertError);
  EXPECT_THROW(TDateTime::Encode(2023, 1, 1, 25), EConvertError);
  EXPECT_NO_THROW(TDateTime::Encode(2024, 2, 29));
}

TEST(Set, IncludeExcludeAndOperators) {
  enum class E { a, b, c };
  TSet<E> s{E::a, E::c};
  EXPECT_TRUE(s.Contains(E::a));
  EXPECT_FALSE(s.Contains(E::b));
  s.Exclude(E::a).Include(E::b);
  EXPECT_EQ(s, (TSet<E>{E::b, E::c}));
  EXPECT_EQ((s - TSet<E>{E::c}), TSet<E>{E::b});
  EXPECT_TRUE(TSet<E>{}.Empty());
}

namespace {
struct Probe : TDvComponent {
  using TDvComponent::TDvComponent;
  TDvComponent* ref = nullptr;
  int* destroyed = nullptr;
  ~Probe() override {
    if (destroyed) ++*destroyed;
  }
  void Notification(TDvComponent* c, TOperation op) override {
    if (op == TOperation::opRemove && c == ref) ref = nullptr;
    TDvComponent::Notification(c, op);
  }
};
}  // namespace

TEST(Component, OwnerDestroysOwnedAndFreeNotificationClearsReferences) {
  int destroyed = 0;
  auto* owner = new Probe(nullptr);
  auto* a = new Probe(owner);
  auto* b = new Probe(owner);
  a->destroyed = b->destroyed = &destroyed;
  auto* watcher = new Probe(nullptr);
  watcher->ref = a;
  watcher->FreeNotification(a);
  delete a;  // owned, but deleted early: the owner forgets it
  EXPECT_EQ(watcher->ref, nullptr);
  delete owner;  // deletes b only
  EXPECT_EQ(destroyed, 2);
  delete watcher;
}

TEST(Component, WatcherDestroyedFirstIsForgotten) {
  auto* target = new Probe(nullptr);
  auto* watcher = new Probe(nullptr);
  watcher->ref = target;
  watcher->FreeNotification(target);
  delete watcher;
  delete target;  // must not touch the deleted watcher (ASan checks)
  SUCCEED();
}
