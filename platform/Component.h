// Components: objects with an owner that destroys them and a name.
//
// A component created with an owner is destroyed by that owner, last created
// first, when the owner is destroyed.  A component destroyed earlier (by
// delete) leaves its owner's list first, so nothing is destroyed twice.
#pragma once

#include <string>
#include <vector>

namespace vantora {

class TComponent {
 public:
  // owner may be null; otherwise the new component is owned by it.
  explicit TComponent(TComponent* owner, std::string name = std::string());
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  // Called once the component and its properties are set up (the "loaded"
  // step of a component read from its form).
  virtual void Loaded() {}

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_[index]; }
  // The owned component with the given name (case-insensitive), or null.
  TComponent* FindComponent(const std::string& name) const;

 private:
  void Insert(TComponent* child) { components_.push_back(child); }
  void Remove(TComponent* child);

  TComponent* owner_;
  std::string name_;
  std::vector<TComponent*> components_;  // owned; destroyed last-first
};

}  // namespace vantora
