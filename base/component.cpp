#include "component.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner) : owner_(AOwner) {
  if (owner_) owner_->owned_.push_back(this);
}

TComponent::~TComponent() {
  // Destroy owned components last-made first; each unlinks itself.
  while (!owned_.empty()) delete owned_.back();
  if (owner_) {
    auto& v = owner_->owned_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
}
