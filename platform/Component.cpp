#include "platform/Component.h"

#include <strings.h>

#include <algorithm>

namespace vantora {

TComponent::TComponent(TComponent* owner, std::string name)
    : owner_(owner), name_(std::move(name)) {
  if (owner_) owner_->Insert(this);
}

TComponent::~TComponent() {
  while (!components_.empty()) {
    TComponent* child = components_.back();
    components_.pop_back();
    child->owner_ = nullptr;
    delete child;
  }
  if (owner_) owner_->Remove(this);
}

void TComponent::Remove(TComponent* child) {
  auto it = std::find(components_.begin(), components_.end(), child);
  if (it != components_.end()) components_.erase(it);
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  for (TComponent* child : components_) {
    if (strcasecmp(child->name_.c_str(), name.c_str()) == 0) return child;
  }
  return nullptr;
}

}  // namespace vantora
