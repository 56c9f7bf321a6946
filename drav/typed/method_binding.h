// How a C++ function becomes a method of a DRAVMethodTable: its signature is
// read from its type (lambda, free function, member function), each
// parameter is either a value (a value kind, value_kinds.h) or one of the
// call's parts (bridge_call_parts.h), and the received values are checked
// against the value parameters before the function runs. Its return value
// becomes the results: void none, a std::tuple several, a DRAVArgs as it is
// (what such a list holds the method charges itself, DRAVTableCall::charge,
// as it builds it), else one value, whose list is charged to the call.
//
// Parameters the table fills besides values:
//   const DRAVArgs&        every value as received, unchecked (then the only
//                          value parameter: the method checks them itself)
//   DRAVBlobReader&        the extra blob, in pieces
//   DRAVStreamWriter&      an answer written in pieces
//   const DRAVTableCall&   the call's headers
#pragma once

#include <drav/common/exception.h>
#include <drav/serialization/argument_list.h>
#include <drav/typed/bridge_call_parts.h>
#include <drav/typed/value_kinds.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace DRAVTyped {

// What a method declared, for messages and the table's description.
struct MethodShape {
  std::vector<DRAVVar::VarType> parameters;  // the value parameters' kinds
  std::vector<DRAVVar::VarType> results;
  std::vector<std::string> parameterNames;   // as many as given, possibly none
  bool takesAnyValues = false;               // a const DRAVArgs& parameter
  bool answersAnyValues = false;             // a DRAVArgs result
  bool readsBlob = false;
  bool streams = false;

  // "(String name, Int)"; "(any values)" for a method that takes them all.
  std::string parameterList() const {
    if (takesAnyValues) return "(any values)";
    std::string list;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      list += (i ? ", " : "") + kindName(parameters[i]);
      if (i < parameterNames.size() && !parameterNames[i].empty()) list += " " + parameterNames[i];
    }
    return "(" + list + ")";
  }
  // "(String, Int)"; "(any values)" for a method that answers with a DRAVArgs.
  std::string resultList() const {
    if (answersAnyValues) return "(any values)";
    std::string list;
    for (DRAVVar::VarType kind : results) list += (list.empty() ? "" : ", ") + kindName(kind);
    return "(" + list + ")";
  }
};

// A value that has its parameter's kind but does not read back as its C++
// type: an object with bytes left over, or one its readObject refuses.
class UnreadableValue : public DRAVException {
public:
  using DRAVException::DRAVException;
};

// The parts one run of a method draws its parameters from.
struct MethodInput {
  DRAVArgs& values;
  DRAVBlobReader& blob;
  DRAVStreamWriter& writer;
  const DRAVTableCall& call;
};

namespace detail {

template <typename F>
struct Signature : Signature<decltype(&F::operator())> {};
template <typename R, typename... A>
struct Signature<R (*)(A...)> {
  using Result = R;
  using Parameters = std::tuple<A...>;
};
template <typename R, typename... A>
struct Signature<R(A...)> : Signature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...)> : Signature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...) const> : Signature<R (*)(A...)> {};

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

// The position among the values of parameter I.
template <std::size_t I, typename... P>
constexpr std::size_t valueIndex() {
  constexpr bool isValue[] = {!isCallPart<P>..., false};
  std::size_t n = 0;
  for (std::size_t i = 0; i < I; ++i) n += isValue[i] ? 1 : 0;
  return n;
}

template <typename P>
constexpr bool isByteVector = std::is_same<Bare<P>, std::vector<unsigned char>>::value;

template <typename P>
decltype(auto) parameter(MethodInput& in, std::size_t index) {
  using B = Bare<P>;
  if constexpr (std::is_same<B, DRAVArgs>::value) return static_cast<DRAVArgs&>(in.values);
  else if constexpr (std::is_same<B, DRAVBlobReader>::value) return static_cast<DRAVBlobReader&>(in.blob);
  else if constexpr (std::is_same<B, DRAVStreamWriter>::value) return static_cast<DRAVStreamWriter&>(in.writer);
  else if constexpr (std::is_same<B, DRAVTableCall>::value) return static_cast<const DRAVTableCall&>(in.call);
  else if constexpr (std::is_base_of<DRAVSerializable, B>::value)
    return KindOf<P>::take(*in.values.getArgs()[index], in.call.decodeBudget);
  // The bytes leave the value for the parameter: the value is not read after.
  else if constexpr (isByteVector<P>) return KindOf<P>::takeOver(*in.values.getArgs()[index]);
  else return KindOf<P>::take(*in.values.getArgs()[index]);
}

// The bytes parameter P copies out of its value for the function's run: a
// byte vector unless it takes the value's own over, text when taken by value
// (a reference views the value).
template <typename P>
std::uint64_t copiedBytes(const MethodInput& in, std::size_t index) {
  using B = Bare<P>;
  if constexpr (isCallPart<P>) {
    return 0;
  } else {
    const DRAVVar& v = *in.values.getArgs()[index];
    if constexpr (isByteVector<P>) return KindOf<P>::takesOverWhole(v) ? 0 : binaryOf(v).getLength();
    else if constexpr (std::is_reference<P>::value) return 0;
    else if constexpr (std::is_same<B, std::string>::value) return v.getString().size();
    else if constexpr (std::is_same<B, zu_utf8string>::value) return v.getUTF8String().str().size();
    else return 0;
  }
}

// The bytes parameter P takes over from its value, which the call counted as
// decoded: a byte vector held whole in the value's own vector. Null for none.
template <typename P>
const DRAVTypes::DRAVArray<unsigned char>* movedArray(const MethodInput& in, std::size_t index) {
  if constexpr (isCallPart<P> || !isByteVector<P>) {
    return nullptr;
  } else {
    const DRAVVar& v = *in.values.getArgs()[index];
    return KindOf<P>::takesOverWhole(v) ? &binaryOf(v) : nullptr;
  }
}

// What a run's parameters hold beside the values: what taking them charged,
// and the bytes they took over from the values. Given back with this object,
// as the parameters go.
class TakenValuesCharge {
public:
  explicit TakenValuesCharge(const DRAVTableCall& call) : call_(call), start_(used()) {}
  ~TakenValuesCharge() { call_.refund(charged_); }
  TakenValuesCharge(const TakenValuesCharge&) = delete;
  TakenValuesCharge& operator=(const TakenValuesCharge&) = delete;
  // The values are taken: what was charged since the start is theirs, and
  // `moved` bytes left the values with them.
  void taken(std::uint64_t moved = 0) { charged_ = used() - start_ + moved; }

private:
  std::uint64_t used() const { return call_.decodeBudget ? call_.decodeBudget->used() : 0; }

  const DRAVTableCall& call_;
  const std::uint64_t start_;
  std::uint64_t charged_ = 0;
};

template <typename P>
void describeParameter(MethodShape& shape) {
  using B = Bare<P>;
  if constexpr (std::is_same<B, DRAVArgs>::value) shape.takesAnyValues = true;
  else if constexpr (std::is_same<B, DRAVBlobReader>::value) shape.readsBlob = true;
  else if constexpr (std::is_same<B, DRAVStreamWriter>::value) shape.streams = true;
  else if constexpr (!std::is_same<B, DRAVTableCall>::value) shape.parameters.push_back(KindOf<P>::kind);
}

// Whether `bytes` lie within one of the call's values.
inline bool viewsReceived(const DRAVBytes& bytes, const DRAVArgs& received) {
  if (bytes.size == 0) return true;
  const std::less<const unsigned char*> before;  // a total order for pointers into any object
  for (const DRAVVar* value : received.getArgs()) {
    if (value->getType() != DRAVVar::BinaryArray || !binaryOf(*value).getData()) continue;
    const auto& held = binaryOf(*value);
    const unsigned char* end = held.getData() + held.getLength();
    if (!before(bytes.data, held.getData()) && !before(end, bytes.data) &&
        bytes.size <= static_cast<std::size_t>(end - bytes.data))
      return true;
  }
  return false;
}

// One result into the answer's list, as its bytes go out without a copy
// where they can: a byte vector the function returned is taken over, a view
// into the call's values is borrowed (they live until the answer is
// written); a view of anything else is copied now, while it still stands.
template <typename T>
void addResult(DRAVArgs& list, T&& value, const DRAVArgs& received) {
  if constexpr (std::is_same<std::decay_t<T>, DRAVBytes>::value) {
    if (!viewsReceived(value, received)) {
      KindOf<std::vector<unsigned char>>::add(list, std::vector<unsigned char>(value.data, value.data + value.size),
                                               value.compression);
      return;
    }
  }
  addValue(list, std::forward<T>(value), DRAVCompression::DRAVCompressionChoice::Default);
}

// The results of a method's return value.
template <typename R>
struct ResultWriter {
  static void add(DRAVArgs& list, R&& value, const DRAVArgs& received) {
    addResult(list, std::move(value), received);
  }
  static void describe(MethodShape& shape) { shape.results.push_back(KindOf<R>::kind); }
};
template <typename... T>
struct ResultWriter<std::tuple<T...>> {
  static void add(DRAVArgs& list, std::tuple<T...>&& values, const DRAVArgs& received) {
    std::apply([&](auto&&... v) { (addResult(list, std::forward<decltype(v)>(v), received), ...); },
               std::move(values));
  }
  static void describe(MethodShape& shape) { (shape.results.push_back(KindOf<T>::kind), ...); }
};
template <>
struct ResultWriter<DRAVArgs> {
  static void add(DRAVArgs& list, DRAVArgs&& values, const DRAVArgs&) { list = std::move(values); }
  static void describe(MethodShape& shape) { shape.answersAnyValues = true; }
};

template <typename P>
bool fitsParameter(const std::vector<DRAVVar*>& values, std::size_t index) {
  if constexpr (isCallPart<P>) return true;
  else return KindOf<P>::fits(*values[index]);
}

// Whether the received values fit the value parameters P (all of them).
template <typename... P, std::size_t... I>
bool valuesFit(const DRAVArgs& values, std::index_sequence<I...>) {
  if (values.size() != valueCount<P...>()) return false;
  const std::vector<DRAVVar*>& v = values.getArgs();
  return (... && fitsParameter<P>(v, valueIndex<I, P...>()));
}

}  // namespace detail

// One method: its shape, and a run that checks and calls it.
struct BoundMethod {
  MethodShape shape;
  // Returns false, running nothing, when the values do not fit; else runs
  // the function and puts its results into `results`.
  std::function<bool(MethodInput&, DRAVArgs& results)> run;
};

namespace detail {

template <typename F, typename R, typename Parameters>
struct Binder;

template <typename F, typename R, typename... P>
struct Binder<F, R, std::tuple<P...>> {
  static constexpr bool anyValues = (std::is_same<Bare<P>, DRAVArgs>::value || ...);
  static_assert(!anyValues || valueCount<P...>() == 0,
                "a method taking const DRAVArgs& takes every value through it: no other value parameter");
  using Indexes = std::index_sequence_for<P...>;

  static BoundMethod bind(F function, std::vector<std::string> parameterNames) {
    BoundMethod bound;
    (describeParameter<P>(bound.shape), ...);
    if constexpr (!std::is_void<R>::value) ResultWriter<R>::describe(bound.shape);
    bound.shape.parameterNames = std::move(parameterNames);
    bound.run = [function = std::move(function)](MethodInput& in, DRAVArgs& results) mutable -> bool {
      if constexpr (!anyValues) {
        if (!valuesFit<P...>(in.values, Indexes())) return false;
      }
      invoke(function, in, results, Indexes());
      return true;
    };
    return bound;
  }

  // Takes the values (the copies they make, and the bytes they take over,
  // charged to the call while the parameters last), then runs it. A value
  // that does not read back throws UnreadableValue, one whose reading passes
  // the call's budget DRAVBodyException 413: the function does not run. The
  // results are charged beside the parameters, as they are held together.
  template <std::size_t... I>
  static void invoke(F& function, MethodInput& in, DRAVArgs& results, std::index_sequence<I...>) {
    TakenValuesCharge charge(in.call);
    in.call.charge((std::uint64_t(0) + ... + copiedBytes<P>(in, valueIndex<I, P...>())), "copying the values");
    // The buffers parameters take over, and their bytes: a result that is
    // one of them holds nothing new.
    Moved moved;
    for (const DRAVTypes::DRAVArray<unsigned char>* array : {movedArray<P>(in, valueIndex<I, P...>())..., movedNone()}) {
      if (!array || !array->getData()) continue;
      moved.buffers.push_back(array->getData());
      moved.bytes += array->getLength();
    }
    std::optional<std::tuple<decltype(parameter<P>(in, 0))...>> taken;
    try {
      taken.emplace(parameter<P>(in, valueIndex<I, P...>())...);
    } catch (const DRAVException& e) {
      charge.taken();
      if (in.call.decodeBudget && in.call.decodeBudget->exceeded())
        throw DRAVBodyException(413, std::string("reading the arguments takes more than the call may hold: ") +
                                         e.what());
      throw UnreadableValue(e.what());
    }
    charge.taken(moved.bytes);
    if constexpr (std::is_void<R>::value) {
      std::apply(function, std::move(*taken));
    } else {
      auto value = std::apply(function, std::move(*taken));
      ResultWriter<R>::add(results, std::move(value), in.values);
      if constexpr (!std::is_same<R, DRAVArgs>::value) in.call.charge(heldBy(results, moved), "holding the results");
    }
  }

  struct Moved {
    std::vector<const unsigned char*> buffers;
    std::uint64_t bytes = 0;
  };
  static const DRAVTypes::DRAVArray<unsigned char>* movedNone() { return nullptr; }

  // What a list of results holds beside the parameters: each value's slot
  // and the bytes it owns, but for a buffer a parameter took over (counted
  // with the parameters) and bytes it borrows from the call's values
  // (counted there).
  static std::uint64_t heldBy(const DRAVArgs& results, const Moved& moved) {
    std::uint64_t bytes = 0;
    for (const DRAVVar* value : results.getArgs()) {
      bool counted = false;
      if (value->getType() == DRAVVar::BinaryArray) {
        const auto& array = binaryOf(*value);
        counted = !array.ownsData() ||
                  std::find(moved.buffers.begin(), moved.buffers.end(), array.getData()) != moved.buffers.end();
      }
      bytes += DRAVArgs::kValueCost + (counted ? 0 : value->objectSize(nullptr));
    }
    return bytes;
  }
};

}  // namespace detail

// Binds `function`; `parameterNames` name its value parameters in order
// (for messages and the description), as many as the author cares to give.
template <typename F>
BoundMethod bindMethod(F function, std::vector<std::string> parameterNames) {
  using Sig = detail::Signature<std::decay_t<F>>;
  using R = std::decay_t<typename Sig::Result>;
  return detail::Binder<std::decay_t<F>, R, typename Sig::Parameters>::bind(std::move(function),
                                                                            std::move(parameterNames));
}

}  // namespace DRAVTyped
