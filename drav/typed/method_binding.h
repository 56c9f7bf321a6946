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
constexpr bool isByteVector = std::is_same<Bare<P>, std::vector<unsigned char>>::value;

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
  // The bytes leave the value for the parameter: the value is not read after.
  else if constexpr (isByteVector<P>) return KindOf<P>::takeOver(*in.values.getArgs()[index]);
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
// list its elements and their copies, a byte vector nothing when it takes
// the value's own over, another value what copiedFrom says.
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
  } else if constexpr (isByteVector<P>) {
    const DRAVVar& v = *in.values.getArgs()[index];
    return KindOf<P>::takesOverWhole(v) ? 0 : binaryOf(v).getLength();
  } else if constexpr (std::is_reference<P>::value) {
    return 0;
  } else {
    return copiedFrom<B>(*in.values.getArgs()[index]);
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
  else if constexpr (std::is_same<B, DRAVTableCall>::value) return;
  else if constexpr (isList<B>) {
    shape.takesList = true;
    shape.parameters.push_back(KindOf<typename ListTraits<B>::Element>::kind);
  } else shape.parameters.push_back(KindOf<P>::kind);
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

// What the results of one run are made from: the call, its values, and the
// buffers its parameters took over from them (counted with the parameters).
struct ResultSources {
  ResultSources(const DRAVTableCall& call, const DRAVArgs& received) : call(call), received(received) {}

  const DRAVTableCall& call;
  const DRAVArgs& received;
  std::vector<const unsigned char*> movedBuffers;
  std::uint64_t movedBytes = 0;

  bool moved(const unsigned char* buffer) const {
    return std::find(movedBuffers.begin(), movedBuffers.end(), buffer) != movedBuffers.end();
  }
};

// The bytes a result value of type T holds beyond its own size: its text,
// its bytes, an object's serialized form.
template <typename T>
std::uint64_t payloadOf(const T& value) {
  if constexpr (std::is_same<T, std::string>::value || std::is_same<T, std::vector<unsigned char>>::value)
    return value.size();
  else if constexpr (std::is_same<T, zu_utf8string>::value) return value.str().size();
  else if constexpr (std::is_same<T, DRAVBytes>::value) return value.size;
  else if constexpr (std::is_base_of<DRAVSerializable, T>::value) return value.objectSize(nullptr);
  else return 0;
}

// The bytes the answer's list comes to hold for result `value` that nothing
// counts yet: none for a byte vector a parameter took over or a view into
// the call's values, its payload for anything else.
template <typename T>
std::uint64_t newlyHeld(const T& value, const ResultSources& from) {
  if constexpr (std::is_same<T, std::vector<unsigned char>>::value) return from.moved(value.data()) ? 0 : value.size();
  else if constexpr (std::is_same<T, DRAVBytes>::value) return viewsReceived(value, from.received) ? 0 : value.size;
  else return payloadOf(value);
}

// The bytes result `value` holds while the results are made from it and
// that the list does not take over: a byte vector is handed over whole and
// a view into the call's values holds nothing of its own.
template <typename T>
std::uint64_t heldWhileMade(const T& value, const ResultSources& from) {
  if constexpr (std::is_same<T, std::vector<unsigned char>>::value) return 0;
  else if constexpr (std::is_same<T, DRAVBytes>::value) return viewsReceived(value, from.received) ? 0 : value.size;
  else return payloadOf(value);
}

inline const unsigned char* firstByte(const std::vector<unsigned char>& bytes) { return bytes.data(); }
inline const unsigned char* firstByte(const DRAVBytes& bytes) { return bytes.data; }

// The bytes just appended to `list` from `source`: when they went out
// compressed, the stored form the list holds instead (no larger than they
// are) is charged once it is made.
inline void chargeStoredForm(const DRAVArgs& list, const unsigned char* source, const ResultSources& from) {
  const auto& held = binaryOf(*list.getArgs().back());
  if (held.getData() != source) from.call.charge(held.getLength(), "holding the results");
}

// Appends result `value` at `position`, charging the call for what it newly
// holds first: results the call cannot hold stop at the first that does not
// fit (DRAVBodyException 413). Its bytes go out without a copy where they
// can: a byte vector is taken over, a view into the call's values borrowed
// (they live until the answer is written); a view of anything else is
// copied now, while it still stands. UnfitResult when its kind cannot carry it.
template <typename T>
void addResult(DRAVArgs& list, T&& value, std::size_t position, const ResultSources& from) {
  using V = std::decay_t<T>;
  constexpr bool binary = std::is_same<V, std::vector<unsigned char>>::value || std::is_same<V, DRAVBytes>::value;
  from.call.charge(DRAVArgs::kValueCost + newlyHeld<V>(value, from), "holding the results");
  const unsigned char* source = nullptr;
  try {
    if constexpr (binary) source = firstByte(value);
    if constexpr (std::is_same<V, DRAVBytes>::value) {
      if (!viewsReceived(value, from.received)) {
        std::vector<unsigned char> copy(value.data, value.data + value.size);
        source = copy.data();
        KindOf<std::vector<unsigned char>>::add(list, std::move(copy), value.compression);
      } else {
        addValue(list, std::forward<T>(value), DRAVCompression::DRAVCompressionChoice::Default);
      }
    } else {
      addValue(list, std::forward<T>(value), DRAVCompression::DRAVCompressionChoice::Default);
    }
  } catch (const DRAVException& e) {
    throw UnfitResult(position, e.what());
  }
  if constexpr (binary) chargeStoredForm(list, source, from);
}

// The results of a method's return value. held() is what the return value
// itself holds while its results are made from it.
template <typename R, typename Enable = void>
struct ResultWriter {
  static void add(DRAVArgs& list, R&& value, const ResultSources& from) { addResult(list, std::move(value), 0, from); }
  static std::uint64_t held(const R& value, const ResultSources& from) { return heldWhileMade(value, from); }
  static void describe(MethodShape& shape) { shape.results.push_back(KindOf<R>::kind); }
};
template <typename... T>
struct ResultWriter<std::tuple<T...>> {
  static void add(DRAVArgs& list, std::tuple<T...>&& values, const ResultSources& from) {
    addEach(list, std::move(values), from, std::index_sequence_for<T...>());
  }
  static std::uint64_t held(const std::tuple<T...>& values, const ResultSources& from) {
    return std::apply([&](const auto&... v) { return (std::uint64_t(0) + ... + heldWhileMade(v, from)); }, values);
  }
  static void describe(MethodShape& shape) { (shape.results.push_back(KindOf<T>::kind), ...); }

private:
  template <std::size_t... I>
  static void addEach(DRAVArgs& list, std::tuple<T...>&& values, const ResultSources& from,
                      std::index_sequence<I...>) {
    (addResult(list, std::get<I>(std::move(values)), I, from), ...);
  }
};
template <typename R>
struct ResultWriter<R, std::enable_if_t<isList<R>>> {
  static void add(DRAVArgs& list, R&& values, const ResultSources& from) {
    for (std::size_t i = 0; i < values.size(); ++i) addResult(list, std::move(values[i]), i, from);
  }
  static std::uint64_t held(const R& values, const ResultSources& from) {
    std::uint64_t bytes = std::uint64_t(values.size()) * sizeof(typename ListTraits<R>::Element);
    for (const auto& value : values) bytes += heldWhileMade(value, from);
    return bytes;
  }
  static void describe(MethodShape& shape) {
    shape.answersList = true;
    shape.results.push_back(KindOf<typename ListTraits<R>::Element>::kind);
  }
};
template <>
struct ResultWriter<DRAVArgs> {
  static void add(DRAVArgs& list, DRAVArgs&& values, const ResultSources&) { list = std::move(values); }
  // What it holds the method charged itself.
  static std::uint64_t held(const DRAVArgs&, const ResultSources&) { return 0; }
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
    ResultSources from(in.call, in.values);
    for (const DRAVTypes::DRAVArray<unsigned char>* array : {movedArray<P>(in, valueIndex<I, P...>())..., movedNone()}) {
      if (!array || !array->getData()) continue;
      from.movedBuffers.push_back(array->getData());
      from.movedBytes += array->getLength();
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
    charge.taken(from.movedBytes);
    if constexpr (std::is_void<R>::value) {
      std::apply(function, std::move(*taken));
    } else {
      auto value = std::apply(function, std::move(*taken));
      // The returned value counts while the results are made from it, each
      // result as it is made: a return value the call cannot hold is refused
      // before it is copied.
      const ReturnedValueCharge returned(in.call, ResultWriter<R>::held(value, from));
      ResultWriter<R>::add(results, std::move(value), from);
    }
  }

  static const DRAVTypes::DRAVArray<unsigned char>* movedNone() { return nullptr; }

  // The return value's charge, given back as it goes.
  class ReturnedValueCharge {
  public:
    ReturnedValueCharge(const DRAVTableCall& call, std::uint64_t bytes) : call_(call), bytes_(bytes) {
      call_.charge(bytes_, "holding the results");
    }
    ~ReturnedValueCharge() { call_.refund(bytes_); }
    ReturnedValueCharge(const ReturnedValueCharge&) = delete;
    ReturnedValueCharge& operator=(const ReturnedValueCharge&) = delete;

  private:
    const DRAVTableCall& call_;
    const std::uint64_t bytes_;
  };
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
