#include "util/RuntimeError.h"

namespace postwarden::errors {

RuntimeError InvalidCall() {
    return {kInvalidCall, "Invalid procedure call or argument"};
}
RuntimeError Overflow() {
    return {kOverflow, "Overflow"};
}
RuntimeError SubscriptOutOfRange() {
    return {kSubscriptOutOfRange, "Subscript out of range"};
}
RuntimeError TypeMismatch() {
    return {kTypeMismatch, "Type mismatch"};
}
RuntimeError ObjectNotSet() {
    return {kObjectNotSet, "Object variable or With block variable not set"};
}
RuntimeError ModalFormDisplayed() {
    return {kModalFormDisplayed, "Can't show non-modal form when modal form is displayed"};
}
RuntimeError CannotCreateObject() {
    return {kCannotCreateObject, "Can't create object"};
}
RuntimeError NoSuchMember() {
    return {kNoSuchMember, "Object doesn't support this property or method"};
}

}  // namespace postwarden::errors
