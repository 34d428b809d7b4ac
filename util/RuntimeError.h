#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace postwarden {

// The failure of an outside call: an error number and a description, as the
// procedures of the module report them ("Error occurred.  Reason: <description>").
// Every outside component signals failure by throwing this; the module catches it
// exactly where a procedure has its handler.
class RuntimeError : public std::runtime_error {
  public:
    RuntimeError(int32_t number, std::string description)
        : std::runtime_error(description), number_(number), description_(std::move(description)) {}

    int32_t Number() const { return number_; }
    const std::string& Description() const { return description_; }

  private:
    int32_t number_;
    std::string description_;
};

// The error numbers and descriptions the system raises itself. Outside components
// may raise others.
namespace errors {
inline constexpr int32_t kInvalidCall = 5;
inline constexpr int32_t kOverflow = 6;
inline constexpr int32_t kSubscriptOutOfRange = 9;
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kFileNotFound = 53;
inline constexpr int32_t kDeviceIO = 57;
inline constexpr int32_t kPermissionDenied = 70;
inline constexpr int32_t kPathNotFound = 76;
inline constexpr int32_t kObjectNotSet = 91;
inline constexpr int32_t kModalFormDisplayed = 401;
inline constexpr int32_t kCannotCreateObject = 429;
inline constexpr int32_t kNoSuchMember = 438;

RuntimeError InvalidCall();          // "Invalid procedure call or argument"
RuntimeError Overflow();             // "Overflow"
RuntimeError SubscriptOutOfRange();  // "Subscript out of range"
RuntimeError TypeMismatch();         // "Type mismatch"
RuntimeError ObjectNotSet();         // "Object variable or With block variable not set"
RuntimeError ModalFormDisplayed();   // "Can't show non-modal form when modal form is displayed"
RuntimeError CannotCreateObject();   // "Can't create object"
RuntimeError NoSuchMember();         // "Object doesn't support this property or method"

// The object behind `object`, or ObjectNotSet() when an outside call gave no
// object where the procedure needs one.
template <class T>
T& Require(const std::shared_ptr<T>& object) {
    if (!object) throw ObjectNotSet();
    return *object;
}
}  // namespace errors

}  // namespace postwarden
