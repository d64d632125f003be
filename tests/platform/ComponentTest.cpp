// The component's list of owned components and its names, with many components: the order of
// insertion holds through removals anywhere, every index names the right component, names are
// found and refused as they are with a few, and owners are told of every insertion and removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/Exception.h"

namespace {

// An owner that records what it is told.
class TRecordingOwner : public TComponent {
public:
  using TComponent::TComponent;
  std::vector<std::pair<TComponent*, TOperation>> Told;

protected:
  void Notification(TComponent* AComponent, TOperation Operation) override {
    Told.emplace_back(AComponent, Operation);
  }
};

// The owner's list as it reads through ComponentCount and Components.
std::vector<TComponent*> ListOf(const TComponent& Owner) {
  std::vector<TComponent*> out;
  for (int i = 0; i < Owner.ComponentCount(); ++i) out.push_back(Owner.Components(i));
  return out;
}

TEST(Component, ThousandsOwnedKeepTheirOrderThroughRemovalsAnywhere) {
  TRecordingOwner owner(nullptr);
  const int kCount = 5000;
  std::vector<TComponent*> expected;
  for (int i = 0; i < kCount; ++i) {
    auto* c = new TComponent(&owner);
    c->SetTag(i);
    expected.push_back(c);
  }
  // Removed in a shuffled order, with the list read back between batches, so that holes are read
  // past, closed up and made again.
  std::vector<TComponent*> doomed(expected.begin(), expected.end());
  std::mt19937 rng(7);
  std::shuffle(doomed.begin(), doomed.end(), rng);
  doomed.resize(kCount * 3 / 4);
  for (std::size_t i = 0; i < doomed.size(); ++i) {
    TComponent* c = doomed[i];
    expected.erase(std::find(expected.begin(), expected.end(), c));
    delete c;
    if (i % 250 == 0) {
      ASSERT_EQ(owner.ComponentCount(), static_cast<int>(expected.size()));
      ASSERT_EQ(ListOf(owner), expected) << "after " << i + 1 << " removals";
    }
    if (i % 500 == 0) expected.push_back(new TComponent(&owner));  // insertions go on at the end
  }
  EXPECT_EQ(ListOf(owner), expected);
  EXPECT_THROW(owner.Components(owner.ComponentCount()), std::out_of_range);
  EXPECT_THROW(owner.Components(-1), std::out_of_range);

  // Told of each removal with the component itself, and the last inserted goes first.
  owner.Told.clear();
  std::vector<TComponent*> remaining = expected;
  owner.DestroyComponents();
  EXPECT_EQ(owner.ComponentCount(), 0);
  ASSERT_EQ(owner.Told.size(), remaining.size());
  for (std::size_t i = 0; i < remaining.size(); ++i) {
    EXPECT_EQ(owner.Told[i].first, remaining[remaining.size() - 1 - i]);
    EXPECT_EQ(owner.Told[i].second, TOperation::opRemove);
  }
}

TEST(Component, NamesAmongThousandsAreFoundRenamedAndRefusedTwice) {
  TComponent owner(nullptr);
  std::vector<TComponent*> all;
  for (int i = 0; i < 3000; ++i) {
    auto* c = new TComponent(&owner);
    c->SetName("Client" + std::to_string(i));
    all.push_back(c);
  }
  EXPECT_EQ(owner.FindComponent("Client0"), all[0]);
  EXPECT_EQ(owner.FindComponent("Client2999"), all[2999]);
  EXPECT_EQ(owner.FindComponent("Client3000"), nullptr);
  EXPECT_EQ(owner.FindComponent(""), nullptr);
  EXPECT_THROW(all[5]->SetName("Client17"), Exception);
  EXPECT_EQ(all[5]->Name(), "Client5") << "a refused name changes nothing";

  // Renamed: the old name is free, the new one taken.
  all[17]->SetName("Renamed");
  EXPECT_EQ(owner.FindComponent("Client17"), nullptr);
  EXPECT_EQ(owner.FindComponent("Renamed"), all[17]);
  all[5]->SetName("Client17");
  EXPECT_EQ(owner.FindComponent("Client17"), all[5]);

  // Destroyed: its name is free; an unnamed one is never found.
  delete all[100];
  EXPECT_EQ(owner.FindComponent("Client100"), nullptr);
  auto* fresh = new TComponent(&owner);
  fresh->SetName("Client100");
  EXPECT_EQ(owner.FindComponent("Client100"), fresh);
  fresh->SetName("");
  EXPECT_EQ(owner.FindComponent("Client100"), nullptr);

  // A component taken over from another owner may bring a name that is already there: the first
  // in the list is the one found, and the other is found once the first has gone.
  TComponent other(nullptr);
  auto* stranger = new TComponent(&other);
  stranger->SetName("Client200");
  owner.InsertComponent(stranger);
  EXPECT_EQ(other.ComponentCount(), 0);
  EXPECT_EQ(owner.FindComponent("Client200"), all[200]);
  delete all[200];
  EXPECT_EQ(owner.FindComponent("Client200"), stranger);
  EXPECT_EQ(stranger->Owner(), &owner);
}

// Under the number from which names are indexed, and across it in both directions.
TEST(Component, NamesStayFoundWhileTheListGrowsAndShrinksAcrossAnyThreshold) {
  TComponent owner(nullptr);
  std::vector<TComponent*> all;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 100; ++i) {
      auto* c = new TComponent(&owner);
      c->SetName("C" + std::to_string(round) + "_" + std::to_string(i));
      all.push_back(c);
      for (TComponent* k : all) ASSERT_EQ(owner.FindComponent(k->Name()), k);
    }
    while (all.size() > 5) {
      delete all.front();
      all.erase(all.begin());
      ASSERT_EQ(owner.FindComponent(all.front()->Name()), all.front());
      ASSERT_EQ(owner.FindComponent(all.back()->Name()), all.back());
    }
    EXPECT_EQ(ListOf(owner), all);
  }
}

}  // namespace
