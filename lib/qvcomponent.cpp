#include "qvcomponent.h"

#include <algorithm>

TqvComponent::TqvComponent(TqvComponent* AOwner) : owner_(AOwner) {
  if (owner_) owner_->InsertOwned(this);
}

TqvComponent::~TqvComponent() {
  // Tell everyone who references this component, then forget the links.
  auto linked = std::move(freeNotifies_);
  freeNotifies_.clear();
  for (TqvComponent* c : linked) {
    c->RemoveLink(this);
    c->Notification(this, TOperation::opRemove);
  }
  // Destroy owned components, the last created first.
  while (!owned_.empty()) {
    TqvComponent* c = owned_.back();
    owned_.pop_back();
    c->owner_ = nullptr;
    delete c;
  }
  if (owner_) owner_->RemoveOwned(this);
}

void TqvComponent::FreeNotification(TqvComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), AComponent) == freeNotifies_.end())
    freeNotifies_.push_back(AComponent);
  auto& other = AComponent->freeNotifies_;
  if (std::find(other.begin(), other.end(), this) == other.end()) other.push_back(this);
}

void TqvComponent::RemoveFreeNotification(TqvComponent* AComponent) {
  if (!AComponent) return;
  RemoveLink(AComponent);
  AComponent->RemoveLink(this);
}

void TqvComponent::Notification(TqvComponent* /*AComponent*/, TOperation /*Operation*/) {}

void TqvComponent::InsertOwned(TqvComponent* c) { owned_.push_back(c); }

void TqvComponent::RemoveOwned(TqvComponent* c) {
  owned_.erase(std::remove(owned_.begin(), owned_.end(), c), owned_.end());
}

void TqvComponent::RemoveLink(TqvComponent* c) {
  freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), c), freeNotifies_.end());
}
