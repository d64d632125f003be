#include "platform/Component.h"

#include <algorithm>

#include "platform/Exception.h"

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
  FName = NewName;
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  for (TComponent* c : FComponents)
    if (c->FName == AName) return c;
  return nullptr;
}

void TComponent::Destroying() noexcept {
  if (IsDestroying()) return;
  FComponentState |= csDestroying;
  for (TComponent* c : FComponents) c->Destroying();
}

void TComponent::DestroyComponents() {
  // Each deletion removes the component from the list through RemoveComponent.
  while (!FComponents.empty()) delete FComponents.back();
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (AComponent->FOwner != nullptr) AComponent->FOwner->RemoveComponent(AComponent);
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
  Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  Notification(AComponent, TOperation::opRemove);
  auto it = std::find(FComponents.begin(), FComponents.end(), AComponent);
  if (it != FComponents.end()) FComponents.erase(it);
  AComponent->FOwner = nullptr;
}
