#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace quillet::platform {

// Owns one object of any type and frees it when destroyed, so a message dropped on the
// way never leaks. Access is by exact type: Get<Base>() on a Derived payload is nullptr.
class Payload {
 public:
  Payload() = default;

  template <typename T>
  explicit Payload(std::unique_ptr<T> object)
      : object_(object.release(), &Destroy<T>), type_(TypeTagOf<T>()) {
    static_assert(!std::is_array_v<T> && std::is_same_v<T, std::remove_cv_t<T>>,
                  "a payload holds one non-const object");
    if (!object_) type_ = nullptr;
  }

  template <typename T, typename... Args>
  static Payload Make(Args&&... args) {
    return Payload(std::make_unique<T>(std::forward<Args>(args)...));
  }

  Payload(Payload&& other) noexcept
      : object_(std::move(other.object_)), type_(std::exchange(other.type_, nullptr)) {}
  Payload& operator=(Payload&& other) noexcept {
    object_ = std::move(other.object_);
    type_ = std::exchange(other.type_, nullptr);
    return *this;
  }

  // nullptr when empty or holding another type.
  template <typename T>
  T* Get() const {
    return Holds<T>() ? static_cast<T*>(object_.get()) : nullptr;
  }

  // Moves the object out and leaves the payload empty; on a wrong type it returns nullptr
  // and keeps the object.
  template <typename T>
  std::unique_ptr<T> Take() {
    if (!Holds<T>()) return nullptr;
    type_ = nullptr;
    return std::unique_ptr<T>(static_cast<T*>(object_.release()));
  }

  template <typename T>
  bool Holds() const {
    return type_ != nullptr && type_ == TypeTagOf<std::remove_cv_t<T>>();
  }

  explicit operator bool() const { return object_ != nullptr; }

  void Reset() {
    object_.reset();
    type_ = nullptr;
  }

 private:
  using TypeTag = const void*;

  // One address per type, without needing RTTI.
  template <typename T>
  static TypeTag TypeTagOf() {
    static constexpr char tag = 0;
    return &tag;
  }

  template <typename T>
  static void Destroy(void* object) {
    std::default_delete<T>()(static_cast<T*>(object));
  }

  std::unique_ptr<void, void (*)(void*)> object_{nullptr, nullptr};
  TypeTag type_ = nullptr;
};

}  // namespace quillet::platform
