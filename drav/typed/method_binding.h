// How a C++ function becomes a method of a DRAVMethodTable: its signature
// (method_signature.h: which forms its parameters and result may take) is
// read from its type, each parameter is either a value (value_kinds.h), a
// list of values (typed_forms.h) or one of the call's parts
// (bridge_call_parts.h), and the received values are checked against the
// value parameters before the function runs. Its return value becomes the
// results: void none, a std::tuple several, a list its values, a DRAVArgs
// as it is (what such a list holds the method charges itself,
// DRAVTableCall::charge, as it builds it), else one value; what they hold
// is charged to the call. A result its kind cannot carry (a long beyond 32
// bits) is refused naming its position and value.
#pragma once

#include <drav/common/exception.h>
#include <drav/serialization/argument_list.h>
#include <drav/typed/bridge_call_parts.h>
#include <drav/typed/method_signature.h>
#include <drav/typed/typed_forms.h>
#include <drav/typed/value_kinds.h>

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
  std::vector<DRAVVar::VarType> parameters;  // the value parameters' kinds (a list's: its element's)
  std::vector<DRAVVar::VarType> results;     // a list's: its element's
  std::vector<std::string> parameterNames;   // as many as given, possibly none
  bool takesAnyValues = false;               // a const DRAVArgs& parameter
  bool answersAnyValues = false;             // a DRAVArgs result
  bool takesList = false;                    // a list parameter: any number of its kind
  bool answersList = false;                  // a list result
  bool readsBlob = false;
  bool streams = false;

  // "(String name, Int)"; "(Int... ids)" for a list; "(any values)" for a
  // method that takes them all.
  std::string parameterList() const {
    if (takesAnyValues) return "(any values)";
    std::string list;
    for (std::size_t i = 0; i < parameters.size(); ++i) list += (i ? ", " : "") + parameterText(i);
    return "(" + list + ")";
  }
  // The value parameter at `position` as parameterList() writes it: "Short", "String text", "Int... ids".
  std::string parameterText(std::size_t position) const {
    const std::size_t i = takesList ? 0 : position;
    if (i >= parameters.size()) return "nothing";
    std::string text = kindName(parameters[i]) + (takesList ? "..." : "");
    if (i < parameterNames.size() && !parameterNames[i].empty()) text += " " + parameterNames[i];
    return text;
  }
  // "(String, Int)"; "(String...)" for a list; "(any values)" for a
  // method that answers with a DRAVArgs.
  std::string resultList() const {
    if (answersAnyValues) return "(any values)";
    std::string list;
    for (DRAVVar::VarType kind : results) list += (list.empty() ? "" : ", ") + kindName(kind);
    return "(" + list + (answersList ? "..." : "") + ")";
  }
};

// A value that has its parameter's kind but does not read back as its C++
// type: an object with bytes left over, or one its readObject refuses.
class UnreadableValue : public DRAVException {
public:
  using DRAVException::DRAVException;
};

// A result the method returned that its kind cannot carry (a long beyond 32
// bits): position() counts from 0 in the answer's list, what() says why.
class UnfitResult : public DRAVException {
public:
  UnfitResult(std::size_t position, const std::string& reason) : DRAVException(reason), position_(position) {}
  std::size_t position() const { return position_; }

private:
  std::size_t position_;
};

// The parts one run of a method draws its parameters from.
struct MethodInput {
  DRAVArgs& values;
  DRAVBlobReader& blob;
  DRAVStreamWriter& writer;
  const DRAVTableCall& call;
};

namespace detail {

// The position among the values of parameter I.
template <std::size_t I, typename... P>
constexpr std::size_t valueIndex() {
  constexpr bool isValue[] = {!isCallPart<P>..., false};
  std::size_t n = 0;
  for (std::size_t i = 0; i < I; ++i) n += isValue[i] ? 1 : 0;
  return n;
}

// A list parameter's values, each of its element's kind.
template <typename T>
std::vector<T> takeList(const MethodInput& in) {
  std::vector<T> list;
  list.reserve(in.values.size());
  for (const DRAVVar* value : in.values.getArgs()) {
    if constexpr (std::is_base_of<DRAVSerializable, T>::value) list.push_back(KindOf<T>::take(*value, in.call.decodeBudget));
    else list.push_back(KindOf<T>::take(*value));
  }
  return list;
}

template <typename P>
decltype(auto) parameter(MethodInput& in, std::size_t index) {
  using B = Bare<P>;
  if constexpr (std::is_same<B, DRAVArgs>::value) return static_cast<DRAVArgs&>(in.values);
  else if constexpr (std::is_same<B, DRAVBlobReader>::value) return static_cast<DRAVBlobReader&>(in.blob);
  else if constexpr (std::is_same<B, DRAVStreamWriter>::value) return static_cast<DRAVStreamWriter&>(in.writer);
  else if constexpr (std::is_same<B, DRAVTableCall>::value) return static_cast<const DRAVTableCall&>(in.call);
  else if constexpr (isList<B>) return takeList<typename ListTraits<B>::Element>(in);
  else if constexpr (std::is_base_of<DRAVSerializable, B>::value)
    return KindOf<P>::take(*in.values.getArgs()[index], in.call.decodeBudget);
  else return KindOf<P>::take(*in.values.getArgs()[index]);
}

// The bytes a value of type T copies out of `v`: a byte vector always, text
// when held by value (a reference or a view copies nothing).
template <typename T>
std::uint64_t copiedFrom(const DRAVVar& v) {
  if constexpr (std::is_same<T, std::vector<unsigned char>>::value) return binaryOf(v).getLength();
  else if constexpr (std::is_same<T, std::string>::value) return v.getString().size();
  else if constexpr (std::is_same<T, zu_utf8string>::value) return v.getUTF8String().str().size();
  else return 0;
}

// The bytes parameter P copies out of the values for the function's run: a
// list its elements and their copies, a value what copiedFrom says.
template <typename P>
std::uint64_t copiedBytes(const MethodInput& in, std::size_t index) {
  using B = Bare<P>;
  if constexpr (isCallPart<P>) {
    return 0;
  } else if constexpr (isList<B>) {
    using T = typename ListTraits<B>::Element;
    std::uint64_t bytes = std::uint64_t(in.values.size()) * sizeof(T);
    for (const DRAVVar* value : in.values.getArgs()) bytes += copiedFrom<T>(*value);
    return bytes;
  } else if constexpr (std::is_reference<P>::value && !std::is_same<B, std::vector<unsigned char>>::value) {
    return 0;
  } else {
    return copiedFrom<B>(*in.values.getArgs()[index]);
  }
}

// What taking a run's values charged to the call, given back once the function returns.
class TakenValuesCharge {
public:
  explicit TakenValuesCharge(const DRAVTableCall& call) : call_(call), start_(used()) {}
  ~TakenValuesCharge() { call_.refund(charged_); }
  TakenValuesCharge(const TakenValuesCharge&) = delete;
  TakenValuesCharge& operator=(const TakenValuesCharge&) = delete;
  // The values are taken: what was charged since the start is theirs.
  void taken() { charged_ = used() - start_; }

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
  else if constexpr (std::is_same<B, DRAVTableCall>::value) return;
  else if constexpr (isList<B>) {
    shape.takesList = true;
    shape.parameters.push_back(KindOf<typename ListTraits<B>::Element>::kind);
  } else shape.parameters.push_back(KindOf<P>::kind);
}

// Appends result `value` at `position`; UnfitResult when its kind cannot carry it.
template <typename T>
void addResult(DRAVArgs& list, const T& value, std::size_t position) {
  try {
    KindOf<T>::add(list, value);
  } catch (const DRAVException& e) {
    throw UnfitResult(position, e.what());
  }
}

// The results of a method's return value.
template <typename R, typename Enable = void>
struct ResultWriter {
  static void add(DRAVArgs& list, const R& value) { addResult(list, value, 0); }
  static void describe(MethodShape& shape) { shape.results.push_back(KindOf<R>::kind); }
};
template <typename... T>
struct ResultWriter<std::tuple<T...>> {
  static void add(DRAVArgs& list, const std::tuple<T...>& values) {
    addEach(list, values, std::index_sequence_for<T...>());
  }
  static void describe(MethodShape& shape) { (shape.results.push_back(KindOf<T>::kind), ...); }

private:
  template <std::size_t... I>
  static void addEach(DRAVArgs& list, const std::tuple<T...>& values, std::index_sequence<I...>) {
    (addResult(list, std::get<I>(values), I), ...);
  }
};
template <typename R>
struct ResultWriter<R, std::enable_if_t<isList<R>>> {
  static void add(DRAVArgs& list, const R& values) {
    for (std::size_t i = 0; i < values.size(); ++i) addResult(list, values[i], i);
  }
  static void describe(MethodShape& shape) {
    shape.answersList = true;
    shape.results.push_back(KindOf<typename ListTraits<R>::Element>::kind);
  }
};
template <>
struct ResultWriter<DRAVArgs> {
  static void add(DRAVArgs& list, DRAVArgs& values) { list = std::move(values); }
  static void describe(MethodShape& shape) { shape.answersAnyValues = true; }
};

// Whether the received values fit a method's value parameters: all do, or
// their count differs, or the one at `position` is the first that does not.
struct Fit {
  enum Verdict { Fits, WrongCount, WrongValue } verdict = Fits;
  std::size_t position = 0;
};

template <typename P>
bool fitsParameter(const std::vector<DRAVVar*>& values, std::size_t index) {
  if constexpr (isCallPart<P>) return true;
  else return KindOf<P>::fits(*values[index]);
}

// For the list parameter P (no other P counts): each value of the call
// must fit its element.
template <typename P>
void listFits(const DRAVArgs& values, Fit& fit) {
  if constexpr (isList<Bare<P>>) {
    const std::vector<DRAVVar*>& v = values.getArgs();
    for (std::size_t i = 0; i < v.size(); ++i)
      if (!KindOf<typename ListTraits<Bare<P>>::Element>::fits(*v[i])) {
        fit = Fit{Fit::WrongValue, i};
        return;
      }
  }
}

// The value parameters' verdict, their values checked in order.
template <typename... P, std::size_t... I>
Fit valuesFit(const DRAVArgs& values, std::index_sequence<I...>) {
  if constexpr (takesList<P...>()) {
    Fit fit;
    (listFits<P>(values, fit), ...);
    return fit;
  } else {
    if (values.size() != valueCount<P...>()) return Fit{Fit::WrongCount, 0};
    const std::vector<DRAVVar*>& v = values.getArgs();
    Fit fit;
    // In order, stopping at the first that does not fit.
    (void)(... && (fitsParameter<P>(v, valueIndex<I, P...>())
                       ? true
                       : (fit = Fit{Fit::WrongValue, valueIndex<I, P...>()}, false)));
    return fit;
  }
}

}  // namespace detail

// One method: its shape, and a run that checks and calls it.
struct BoundMethod {
  MethodShape shape;
  // Checks the values against the parameters: when they do not fit, runs
  // nothing and says why; else runs the function, puts its results into
  // `results` and answers Fits. What the function throws passes through
  // (UnfitResult for a result its kind cannot carry).
  std::function<detail::Fit(MethodInput&, DRAVArgs& results)> run;
};

namespace detail {

template <typename F, typename R, typename Parameters>
struct Binder;

template <typename F, typename R, typename... P>
struct Binder<F, R, std::tuple<P...>> {
  static constexpr bool anyValues = (std::is_same<Bare<P>, DRAVArgs>::value || ... || false);
  using Indexes = std::index_sequence_for<P...>;

  static BoundMethod bind(F function, std::vector<std::string> parameterNames) {
    BoundMethod bound;
    (describeParameter<P>(bound.shape), ...);
    if constexpr (!std::is_void<R>::value) ResultWriter<R>::describe(bound.shape);
    bound.shape.parameterNames = std::move(parameterNames);
    bound.run = [function = std::move(function)](MethodInput& in, DRAVArgs& results) mutable -> Fit {
      if constexpr (!anyValues) {
        const Fit fit = valuesFit<P...>(in.values, Indexes());
        if (fit.verdict != Fit::Fits) return fit;
      }
      invoke(function, in, results, Indexes());
      return Fit{};
    };
    return bound;
  }

  // Takes the values (the copies they make charged to the call while the
  // function runs), then runs it. A value that does not read back throws
  // UnreadableValue, one whose reading passes the call's budget
  // DRAVBodyException 413: the function does not run.
  template <std::size_t... I>
  static void invoke(F& function, MethodInput& in, DRAVArgs& results, std::index_sequence<I...>) {
    TakenValuesCharge charge(in.call);
    in.call.charge((std::uint64_t(0) + ... + copiedBytes<P>(in, valueIndex<I, P...>())), "copying the values");
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
    charge.taken();
    if constexpr (std::is_void<R>::value) {
      std::apply(function, std::move(*taken));
    } else {
      auto value = std::apply(function, std::move(*taken));
      ResultWriter<R>::add(results, value);
      if constexpr (!std::is_same<R, DRAVArgs>::value) in.call.charge(heldBy(results), "holding the results");
    }
  }

  // What a list of results holds: each value's slot and its bytes.
  static std::uint64_t heldBy(const DRAVArgs& results) {
    std::uint64_t bytes = 0;
    for (const DRAVVar* value : results.getArgs()) bytes += DRAVArgs::kValueCost + value->objectSize(nullptr);
    return bytes;
  }
};

template <typename F, typename R, typename... P>
BoundMethod bindChecked(F function, std::vector<std::string> parameterNames, TypeList<std::tuple<P...>>) {
  // Each refusal is one static_assert line; nothing more is compiled after one.
  if constexpr (requireParameters<P...>() && requireResult<R, false>())
    return Binder<F, R, std::tuple<P...>>::bind(std::move(function), std::move(parameterNames));
  else
    return BoundMethod{};
}

}  // namespace detail

// Binds `function`; `parameterNames` name its value parameters in order
// (for messages and the description), as many as the author cares to give.
template <typename F>
BoundMethod bindMethod(F function, std::vector<std::string> parameterNames) {
  using D = std::decay_t<F>;
  if constexpr (detail::requireSignature<D>()) {
    using Sig = detail::Signature<D>;
    return detail::bindChecked<D, std::decay_t<typename Sig::Result>>(
        std::move(function), std::move(parameterNames), detail::TypeList<typename Sig::Parameters>());
  } else {
    return BoundMethod{};
  }
}

}  // namespace DRAVTyped
