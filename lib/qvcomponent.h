// Component base shared by every part of the library.
//
// - TObject: the root of everything that can be an event's sender.
// - TqvComponent: an owner destroys what it owns; a component that references
//   another asks it for a free notification and is told (Notification with
//   opRemove) when that one is destroyed, so it can clear its reference.
//   BeginLoading()/Loaded() bracket the set-up of stored property values.
// - TqvEvent: a bound callback (object + member function, or any callable)
//   that remembers its object and code, so that lists can compare callbacks.
// - EqvError: the library's general error type.
#pragma once

#include <array>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "qvapi.h"

QV_API_BEGIN

class EqvError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// A callback bound to an object. Two events have the same code when they call
// the same member function (or callables of one type); they are equal when they
// also call it on the same object.
template <class... Args>
class TqvEvent {
 public:
  TqvEvent() = default;
  TqvEvent(std::nullptr_t) {}

  template <class F, class = std::enable_if_t<std::is_invocable_v<F&, Args...> &&
                                              !std::is_same_v<std::decay_t<F>, TqvEvent>>>
  TqvEvent(F f) : fn_(std::move(f)), codeType_(&typeid(F)) {}

  template <class T>
  static TqvEvent Bind(T* object, void (T::*method)(Args...)) {
    TqvEvent e;
    e.fn_ = [object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); };
    e.object_ = object;
    e.codeType_ = &typeid(T);
    static_assert(sizeof(method) <= sizeof(e.code_));
    std::memcpy(e.code_.data(), &method, sizeof(method));
    return e;
  }

  explicit operator bool() const { return static_cast<bool>(fn_); }
  void operator()(Args... args) const { fn_(std::forward<Args>(args)...); }

  const void* Object() const { return object_; }
  bool SameCode(const TqvEvent& other) const {
    return codeType_ && other.codeType_ && *codeType_ == *other.codeType_ && code_ == other.code_;
  }
  bool operator==(const TqvEvent& other) const {
    return SameCode(other) && object_ == other.object_;
  }

 private:
  std::function<void(Args...)> fn_;
  const void* object_ = nullptr;
  const std::type_info* codeType_ = nullptr;
  std::array<unsigned char, 16> code_{};
};

using TNotifyEvent = TqvEvent<TObject* /*Sender*/>;

enum class TOperation { opInsert, opRemove };

class TqvComponent : public TObject {
 public:
  explicit TqvComponent(TqvComponent* AOwner = nullptr);
  ~TqvComponent() override;

  TqvComponent* Owner() const { return owner_; }
  const std::vector<TqvComponent*>& Components() const { return owned_; }

  // Ask `AComponent` to tell this one (Notification, opRemove) when it is destroyed.
  // The link is mutual, as either side may go first.
  void FreeNotification(TqvComponent* AComponent);
  void RemoveFreeNotification(TqvComponent* AComponent);

  // Stored-properties bracket: while loading, property writers only store values;
  // Loaded() applies them.
  void BeginLoading() { loading_ = true; }
  virtual void Loaded() { loading_ = false; }
  bool IsLoading() const { return loading_; }

  // Design mode: kept for components whose property writers behave differently
  // while a form is designed (test opens). Off unless set.
  bool IsDesigning() const { return designing_; }
  void SetDesigning(bool value) { designing_ = value; }

  const std::u16string& Name() const { return name_; }
  void SetName(std::u16string value) { name_ = std::move(value); }

 protected:
  // Called when a component this one asked for a free notification is being destroyed.
  virtual void Notification(TqvComponent* AComponent, TOperation Operation);

 private:
  void InsertOwned(TqvComponent* c);
  void RemoveOwned(TqvComponent* c);
  void RemoveLink(TqvComponent* c);

  TqvComponent* owner_ = nullptr;
  std::vector<TqvComponent*> owned_;
  std::vector<TqvComponent*> freeNotifies_;
  std::u16string name_;
  bool loading_ = false;
  bool designing_ = false;
};

QV_API_END
