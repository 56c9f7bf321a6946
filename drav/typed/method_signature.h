// What a method of a DRAVMethodTable may look like: its signature read from
// its type (a lambda without auto parameters, a function, a member function
// bound to its object), and the forms its parameters and result may take.
// A form outside them fails to compile with one static_assert line that
// says what is allowed.
//
// Parameters, each one of:
//   T, const T, const T&     a value of T's kind (value_kinds.h)
//   std::string_view         a String viewed while the method runs (DRAVBytes
//                            views a BinaryArray the same way)
//   std::vector<T>, const std::vector<T>&
//                            a list: every value of the call, each of T's kind
//                            (then the only value parameter)
//   const DRAVArgs&          every value as received, unchecked (then the only
//                            value parameter: the method checks them itself)
//   DRAVBlobReader&          the extra blob, in pieces
//   DRAVStreamWriter&        an answer written in pieces
//   const DRAVTableCall&     the call's headers
// Results: void, one value, a std::tuple of values, a list, or a DRAVArgs.
#pragma once

#include <drav/serialization/argument_list.h>
#include <drav/typed/bridge_call_parts.h>
#include <drav/typed/typed_forms.h>

#include <cstddef>
#include <tuple>
#include <type_traits>

namespace DRAVTyped {
namespace detail {

// A list of types passed as a value: a tag that is never a value of them.
template <typename T>
struct TypeList {};

template <typename F, typename = void>
struct Signature {
  static constexpr bool known = false;
};
template <typename F>
struct Signature<F, std::void_t<decltype(&F::operator())>> : Signature<decltype(&F::operator())> {};
template <typename R, typename... A>
struct Signature<R (*)(A...)> {
  static constexpr bool known = true;
  using Result = R;
  using Parameters = std::tuple<A...>;
};
template <typename R, typename... A>
struct Signature<R (*)(A...) noexcept> : Signature<R (*)(A...)> {};
template <typename R, typename... A>
struct Signature<R(A...)> : Signature<R (*)(A...)> {};
template <typename R, typename... A>
struct Signature<R(A...) noexcept> : Signature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...)> : Signature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...) const> : Signature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...) noexcept> : Signature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...) const noexcept> : Signature<R (*)(A...)> {};

template <typename P>
using Bare = std::remove_cv_t<std::remove_reference_t<P>>;

// A parameter the table fills from the call's parts rather than a value.
template <typename P>
constexpr bool isCallPart = std::is_same<Bare<P>, DRAVArgs>::value || std::is_same<Bare<P>, DRAVBlobReader>::value ||
                            std::is_same<Bare<P>, DRAVStreamWriter>::value ||
                            std::is_same<Bare<P>, DRAVTableCall>::value;

template <typename... P>
constexpr std::size_t valueCount() {
  return (std::size_t(0) + ... + (isCallPart<P> ? 0 : 1));
}

template <typename... P>
constexpr bool takesList() {
  return (isList<Bare<P>> || ... || false);
}

// Whether parameter type P is one of the forms above; else false, after one
// static_assert line.
template <typename P>
constexpr bool requireParameterForm() {
  using B = Bare<P>;
  constexpr bool changeable = std::is_lvalue_reference<P>::value && !std::is_const<std::remove_reference_t<P>>::value;
  if constexpr (isCallPart<P>) {
    if constexpr (!std::is_lvalue_reference<P>::value ||
                  (std::is_same<B, DRAVTableCall>::value && changeable)) {
      static_assert(kAlwaysFalse<P>, "the call's parts are taken as const DRAVArgs&, DRAVBlobReader&, DRAVStreamWriter& or const DRAVTableCall&");
      return false;
    } else {
      return true;
    }
  } else if constexpr (changeable || std::is_rvalue_reference<P>::value) {
    static_assert(kAlwaysFalse<P>, "a value parameter is taken as T, const T& or a view (std::string_view, DRAVBytes), not as T& or T&&");
    return false;
  } else if constexpr (std::is_pointer<B>::value) {
    static_assert(kAlwaysFalse<P>, "a pointer parameter would point into the call's values: take const std::string& or std::string_view for text, DRAVBytes for bytes");
    return false;
  } else {
    return requireValueKindOrList<B>();
  }
}

// Whether the parameters P, together, are a method's: each in a form above,
// a list or the whole DRAVArgs only alone.
template <typename... P>
constexpr bool requireParameters() {
  if constexpr (!(requireParameterForm<P>() && ... && true)) {
    return false;
  } else if constexpr ((std::is_same<Bare<P>, DRAVArgs>::value || ... || false) && valueCount<P...>() > 0) {
    static_assert(kAlwaysFalse<std::tuple<P...>>, "a method taking const DRAVArgs& takes every value through it: no other value parameter");
    return false;
  } else if constexpr (takesList<P...>() && valueCount<P...>() > 1) {
    static_assert(kAlwaysFalse<std::tuple<P...>>, "a list parameter takes every value of the call: no other value parameter");
    return false;
  } else {
    return true;
  }
}

// Whether F is something whose signature can be read; else false, after one
// static_assert line.
template <typename F>
constexpr bool requireSignature() {
  if constexpr (!Signature<F>::known) {
    static_assert(kAlwaysFalse<F>, "method() binds a function of fixed parameters: a lambda without auto parameters, a function, or (object, &Class::member)");
    return false;
  } else {
    return true;
  }
}

}  // namespace detail
}  // namespace DRAVTyped
