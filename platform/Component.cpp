#include "platform/Component.h"

#include <algorithm>
#include <stdexcept>

#include "platform/Exception.h"
#include "platform/Shrink.h"

namespace {
// Below this many components a name is looked for by walking the list.
constexpr std::size_t kIndexNamesFrom = 32;
}  // namespace

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  DestroyComponents();
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

void TComponent::SetName(const std::string& NewName) {
  if (NewName == FName) return;
  if (!NewName.empty() && FOwner != nullptr) {
    TComponent* other = FOwner->FindComponent(NewName);
    if (other != nullptr && other != this)
      throw Exception("A component named " + NewName + " already exists");
  }
  if (FOwner != nullptr) FOwner->UnindexName(this);
  FName = NewName;
  if (FOwner != nullptr) FOwner->IndexName(this);
}

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || static_cast<std::size_t>(Index) >= FComponentCount) throw std::out_of_range("Components");
  CloseHoles();
  return FComponents[static_cast<std::size_t>(Index)];
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  if (FNames == nullptr) {
    for (TComponent* c : FComponents)
      if (c != nullptr && c->FName == AName) return c;
    return nullptr;
  }
  // Names are unique among the components that SetName named here; components taken over from
  // another owner may share one, and then the first in the list is the one found.
  TComponent* first = nullptr;
  auto [from, to] = FNames->equal_range(AName);
  for (auto it = from; it != to; ++it)
    if (first == nullptr || it->second->FOwnerSlot < first->FOwnerSlot) first = it->second;
  return first;
}

void TComponent::Destroying() noexcept {
  if (IsDestroying()) return;
  FComponentState |= csDestroying;
  for (TComponent* c : FComponents)
    if (c != nullptr) c->Destroying();
}

void TComponent::DestroyComponents() {
  // Each deletion removes the component from the list through RemoveComponent.
  while (TComponent* last = LastComponent()) delete last;
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (AComponent->FOwner != nullptr) AComponent->FOwner->RemoveComponent(AComponent);
  AComponent->FOwnerSlot = static_cast<std::uint32_t>(FComponents.size());
  FComponents.push_back(AComponent);
  ++FComponentCount;
  AComponent->FOwner = this;
  IndexName(AComponent);
  Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  Notification(AComponent, TOperation::opRemove);
  const std::size_t slot = AComponent->FOwnerSlot;
  if (AComponent->FOwner == this && slot < FComponents.size() && FComponents[slot] == AComponent) {
    UnindexName(AComponent);
    FComponents[slot] = nullptr;
    --FComponentCount;
    // Holes at the end go at once; the others once they outnumber the components.
    while (!FComponents.empty() && FComponents.back() == nullptr) FComponents.pop_back();
    if (FComponents.size() > 2 * FComponentCount + 16) CloseHoles();
    platform::ShrinkIfMostlyEmpty(FComponents);
    if (FNames != nullptr && FComponentCount < kIndexNamesFrom / 2)
      FNames.reset();  // made again should the components grow in number once more
    else if (FNames != nullptr)
      platform::ShrinkBucketsIfMostlyEmpty(*FNames);
  }
  AComponent->FOwner = nullptr;
}

// Moves the components over the holes, in order, and tells each its new slot.
void TComponent::CloseHoles() const {
  if (FComponents.size() == FComponentCount) return;
  std::size_t to = 0;
  for (TComponent* c : FComponents) {
    if (c == nullptr) continue;
    c->FOwnerSlot = static_cast<std::uint32_t>(to);
    FComponents[to++] = c;
  }
  FComponents.resize(to);
}

TComponent* TComponent::LastComponent() const { return FComponents.empty() ? nullptr : FComponents.back(); }

void TComponent::IndexName(TComponent* AComponent) {
  if (FNames == nullptr) {
    if (FComponentCount < kIndexNamesFrom) return;
    FNames = std::make_unique<TNameIndex>();
    for (TComponent* c : FComponents)
      if (c != nullptr && c != AComponent && !c->FName.empty()) FNames->emplace(c->FName, c);
  }
  if (!AComponent->FName.empty()) FNames->emplace(AComponent->FName, AComponent);
}

void TComponent::UnindexName(TComponent* AComponent) {
  if (FNames == nullptr || AComponent->FName.empty()) return;
  auto [from, to] = FNames->equal_range(AComponent->FName);
  for (auto it = from; it != to; ++it)
    if (it->second == AComponent) {
      FNames->erase(it);
      return;
    }
}
