// Which C++ types the typed client and the method table take besides one
// value kind each (value_kinds.h): lists of them, and the refusals at
// compile time, one static_assert line each, that say what to use instead.
//
// Lists. The wire has no list kind: what a list is there is the values of a
// call and of its answer. So a std::vector of a type with a value kind
// (any but unsigned char: std::vector<unsigned char> is one BinaryArray)
// travels as all the values of one of them, each of the element's kind. A
// method taking a list takes no other value, one returning a list answers
// with nothing else ("names(Int... ids) -> (String...)"); a client sends a
// list as the call's only argument and reads one as the whole answer. (An
// Object could carry a list beside other values, but no tool could show or
// check what it holds.)
#pragma once

#include <drav/typed/value_kinds.h>
#include <drav/typed/wide_integers.h>

#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

namespace DRAVTyped {

// Whether T is carried as a list; a std::vector is, but for
// std::vector<unsigned char>, which is one binary value.
template <typename T>
struct ListTraits {
  static constexpr bool isList = false;
};
// A std::vector of any kind but unsigned char: a list of Element.
template <typename T, typename A>
struct ListTraits<std::vector<T, A>> {
  static constexpr bool isList = !std::is_same<T, unsigned char>::value;
  using Element = T;
};
// True when T, stripped of references and const, is carried as a list.
template <typename T>
constexpr bool isList = ListTraits<std::decay_t<T>>::isList;

template <typename T, typename = void>
struct HasValueKind : std::false_type {};
template <typename T>
struct HasValueKind<T, std::void_t<decltype(ValueKind<T>::kind)>> : std::true_type {};

template <typename T>
struct IsTuple : std::false_type {};
template <typename... T>
struct IsTuple<std::tuple<T...>> : std::true_type {};

// False for every T, so that a static_assert fires only when the branch that
// holds it is chosen.
template <typename T>
constexpr bool kAlwaysFalse = false;

// True when T has a value kind; else false, after one static_assert that
// says what to use.
template <typename T>
constexpr bool requireValueKind() {
  using B = std::decay_t<T>;
  if constexpr (std::is_same<B, long long>::value || std::is_same<B, unsigned long long>::value) {
    static_assert(kAlwaysFalse<T>, "long long has no value kind (the wire's integers are 32 bits): carry a 64-bit integer as DRAVInt64 or DRAVUInt64");
    return false;
  } else if constexpr (!HasValueKind<B>::value) {
    static_assert(kAlwaysFalse<T>, "no value kind for this type: the types of value_kinds.h, DRAVInt64, DRAVUInt64, or a std::vector of them as a list");
    return false;
  } else {
    return true;
  }
}

// The same for a type that may also be a list.
template <typename T>
constexpr bool requireValueKindOrList() {
  if constexpr (isList<T>) return requireValueKind<typename ListTraits<std::decay_t<T>>::Element>();
  else return requireValueKind<T>();
}

// One of several results: a kind, never a list (a list is a whole answer).
template <typename T>
constexpr bool requireResultInTuple() {
  if constexpr (isList<T>) {
    static_assert(kAlwaysFalse<T>, "a list is a whole answer, never one of several results: return or read it alone");
    return false;
  } else {
    return requireValueKind<T>();
  }
}

// Whether R may be a whole answer: one kind or a list.
template <typename R>
struct ResultForm {
  static constexpr bool allowed() { return requireValueKindOrList<R>(); }
};
// Several results: each one kind, none a list.
template <typename... T>
struct ResultForm<std::tuple<T...>> {
  static constexpr bool allowed() { return (requireResultInTuple<T>() && ... && true); }
};

// What a method may return and a client call may read its answer as: void,
// DRAVArgs, a std::tuple of kinds, a list, or one kind. A client never
// reads a view (it would outlive the answer it views).
template <typename R, bool client>
constexpr bool requireResult() {
  if constexpr (std::is_void<R>::value || std::is_same<R, DRAVArgs>::value) {
    return true;
  } else if constexpr (client && (std::is_same<R, DRAVBytes>::value || std::is_same<R, std::string_view>::value ||
                                   std::is_pointer<R>::value)) {
    static_assert(kAlwaysFalse<R>, "a view would outlive the answer it views: read std::vector<unsigned char> or std::string");
    return false;
  } else {
    return ResultForm<R>::allowed();
  }
}

}  // namespace DRAVTyped
