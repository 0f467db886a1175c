// Minimal object model shared by the serial component and its watcher: a common
// base for senders, components with an owner that destroys them, and the
// notify handler type (a bound method taking the sender).
#pragma once

#include <functional>
#include <string>
#include <vector>

class TObject {
 public:
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// A component with an owner. The owner destroys the components it owns when it
// is destroyed itself; a component without owner is destroyed by whoever made it.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  std::string Name;

 private:
  TComponent* owner_;
  std::vector<TComponent*> owned_;
};
