// Public. The framework's component: the base of every socket class and window.
//
// A component has an owner (or none), a Name unique among its owner's components and an integer
// Tag. It destroys the components it owns when it is destroyed, and tells its owner through the
// overridable Notification when it is inserted (constructed with that owner) and when it is
// removed (destroyed). While it is being destroyed, ComponentState() contains csDestroying.
//
// Owned components are created with new and deleted by their owner; a component without an owner
// belongs to whoever created it.
//
// An owner may hold tens of thousands of components (a server's clients), so taking one out of the
// list and finding one by name cost the same whatever their number: each component knows its slot
// in its owner's list, a removal leaves a hole that is closed up once holes outnumber the
// components, and an owner of many named components keeps an index of their names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

enum TComponentStateFlag : std::uint32_t {
  csDestroying = 1u << 0,
};
using TComponentState = std::uint32_t;

enum class TOperation { opInsert, opRemove };

class TComponent {
public:
  explicit TComponent(TComponent* AOwner);
  virtual ~TComponent();

  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const noexcept { return FOwner; }

  const std::string& Name() const noexcept { return FName; }
  // Raises Exception when another component of the same owner already has this (non-empty) name.
  void SetName(const std::string& NewName);

  std::intptr_t Tag() const noexcept { return FTag; }
  void SetTag(std::intptr_t Value) noexcept { FTag = Value; }

  TComponentState ComponentState() const noexcept { return FComponentState; }
  bool IsDestroying() const noexcept { return (FComponentState & csDestroying) != 0; }

  // The components this one owns, in order of insertion.
  int ComponentCount() const noexcept { return static_cast<int>(FComponentCount); }
  // Raises std::out_of_range for an index outside 0 .. ComponentCount() - 1.
  TComponent* Components(int Index) const;
  TComponent* FindComponent(const std::string& AName) const;

  // Marks this component and, recursively, every component it owns as being destroyed. A derived
  // destructor calls it first, so that its own clean-up can see the state; calling it twice is
  // harmless.
  void Destroying() noexcept;

  // Deletes every owned component, last inserted first.
  void DestroyComponents();

  // Takes a component into this one's list, or out of it, as construction and destruction do;
  // with both, a component changes owner.
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);

protected:
  // Told of each component inserted into or removed from this one's list.
  virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
  using TNameIndex = std::unordered_multimap<std::string_view, TComponent*>;

  void CloseHoles() const;
  TComponent* LastComponent() const;
  void IndexName(TComponent* AComponent);
  void UnindexName(TComponent* AComponent);

  TComponent* FOwner = nullptr;
  std::string FName;
  std::intptr_t FTag = 0;
  TComponentState FComponentState = 0;
  std::uint32_t FOwnerSlot = 0;  // this component's place in its owner's FComponents
  // In order of insertion; null where a component has been taken out (a hole).
  mutable std::vector<TComponent*> FComponents;
  std::size_t FComponentCount = 0;
  // The named components, by name, once there are many; names point into the components' FName.
  std::unique_ptr<TNameIndex> FNames;
};
