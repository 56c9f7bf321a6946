// DRAVBridgeClient: calls the methods of one bridge with C++ types, one line
// a call:
//
//   DRAVBridgeClient greeter("greeter", Url("http://127.0.0.1:8420/bridges/greeter"));
//   std::string s = greeter.call<std::string>("greet", name);
//   auto [low, high] = stats.call<std::tuple<int, int>>("range", values);
//   stats.call("reset");                                   // no results
//   std::future<double> f = stats.callAsync<double>("mean", values);
//
// Arguments and results travel as the value kinds of their C++ types
// (value_kinds.h); a failure throws one of the exceptions of call_failures.h.
// Built over the library's own parts: each call serializes a DRAVArgs, sends
// it through a DRAVHttpRequest of a DRAVBridgeProxy, and reads the answer
// back. Not a code generator and not a new wire format.
//
// Threads: a client may be shared by any number of threads. It owns at most
// maxConnections proxies (one connection each); a call borrows one for its
// length and waits when all are busy. Asynchronous calls run on at most
// maxConnections threads the client starts when they are first needed.
//
// Destruction: calls still waiting to be sent are cancelled (their futures
// throw DRAVCallCancelledException); calls being sent or read are waited
// for, as long as the transport's time-outs allow. Synchronous calls must
// have returned before the client is destroyed.
#pragma once

#include <drav/common/exception.h>
#include <drav/config/auth_info.h>
#include <drav/config/endpoint_policy.h>
#include <drav/config/url.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/output_stream.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/error_answer.h>
#include <drav/transport/http_request.h>
#include <drav/transport/transport_errors.h>
#include <drav/typed/answer_reading.h>
#include <drav/typed/call_failures.h>
#include <drav/typed/call_options.h>
#include <drav/typed/call_queue.h>
#include <drav/typed/proxy_pool.h>
#include <drav/typed/typed_forms.h>
#include <drav/typed/value_kinds.h>
#include <drav/typed/wide_integers.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

// The limits and hooks of a DRAVBridgeClient.
struct DRAVClientSettings {
  unsigned maxConnections = 8;            // proxies (connections) owned, and threads for callAsync
  unsigned long readSize = 64 * 1024;     // each read of an answer
  std::uint64_t maxAnswerBytes = 256ull << 20;  // a list answer held to decode it (decoding: twice that)
  std::size_t maxErrorText = 4096;        // of an HTTP error's text, shown in the exception
  // Methods that may safely run twice: their calls are repeatable whatever
  // their options say (see DRAVCallOptions::repeatable).
  std::set<std::string> repeatableMethods;
  // Whether binary values this client sends (at or above the compression
  // threshold) go compressed, unless a DRAVBytes says for itself; Default:
  // as the process says ("-DRAVgzip_mode", by default when a sample shows it pays).
  DRAVCompression::DRAVCompressionChoice compression = DRAVCompression::DRAVCompressionChoice::Default;
  // Runs on each proxy the client makes, after init(): set cookies, the
  // root URL of single sign-on, an event sink. Called under no lock.
  std::function<void(DRAVBridgeProxy&)> prepareProxy;
};

namespace DRAVTyped {
namespace detail {

// The result at `at` must fit T; DRAVResultMismatchException naming it,
// and what it holds, otherwise.
template <typename T>
void checkResult(const DRAVVar& value, std::size_t at, const std::string& bridge, const std::string& method) {
  if (!KindOf<T>::fits(value))
    throw DRAVResultMismatchException(bridge, method, at, kindName(KindOf<T>::kind), kindName(value.getType()),
                                      valueText(value));
}

// A checked result as T; a byte vector takes the value's bytes over (the
// results are not read after).
template <typename T>
T takeResult(DRAVVar& value) {
  if constexpr (std::is_same<std::decay_t<T>, std::vector<unsigned char>>::value) return KindOf<T>::takeOver(value);
  else return KindOf<T>::take(value);
}

// The results of a call as the C++ type R: void (none), std::tuple
// (several), a list (all of them), DRAVArgs (as they came) or one value.
template <typename R, typename Enable = void>
struct ResultsAs {
  static R from(DRAVArgs& results, const std::string& bridge, const std::string& method) {
    return std::get<0>(ResultsAs<std::tuple<R>>::from(results, bridge, method));
  }
};

// The results as they came, unchecked.
template <>
struct ResultsAs<DRAVArgs> {
  static DRAVArgs from(DRAVArgs& results, const std::string&, const std::string&) { return std::move(results); }
};

template <>
struct ResultsAs<void> {
  static void from(DRAVArgs& results, const std::string& bridge, const std::string& method) {
    if (results.size() != 0)
      throw DRAVResultMismatchException(bridge, method, 0, "nothing", kindName(results.getArgs()[0]->getType()));
  }
};

template <typename R>
struct ResultsAs<R, std::enable_if_t<isList<R>>> {
  static R from(DRAVArgs& results, const std::string& bridge, const std::string& method) {
    using T = typename ListTraits<R>::Element;
    const std::vector<DRAVVar*>& values = results.getArgs();
    for (std::size_t i = 0; i < values.size(); ++i) checkResult<T>(*values[i], i, bridge, method);
    R list;
    list.reserve(values.size());
    for (DRAVVar* value : values) list.push_back(takeResult<T>(*value));
    return list;
  }
};

template <typename... Ts>
struct ResultsAs<std::tuple<Ts...>> {
  static std::tuple<Ts...> from(DRAVArgs& results, const std::string& bridge, const std::string& method) {
    static_assert(!(std::is_same<std::decay_t<Ts>, DRAVBytes>::value || ...),
                  "a DRAVBytes result would view bytes gone with the call: use std::vector<unsigned char>");
    const std::vector<DRAVVar*>& values = results.getArgs();
    checkCount(values, bridge, method);
    return take(values, bridge, method, std::index_sequence_for<Ts...>());
  }

private:
  static void checkCount(const std::vector<DRAVVar*>& values, const std::string& bridge, const std::string& method) {
    constexpr std::size_t wanted = sizeof...(Ts);
    if (values.size() == wanted) return;
    const DRAVVar::VarType kinds[] = {KindOf<Ts>::kind..., DRAVVar::Empty};
    const std::size_t at = std::min(values.size(), wanted);
    throw DRAVResultMismatchException(bridge, method, at, at < wanted ? kindName(kinds[at]) : "nothing",
                                      at < values.size() ? kindName(values[at]->getType()) : "nothing");
  }

  // Every result is checked, in order, before any is taken: the first that
  // does not fit is the one named, whatever order the compiler evaluates
  // the tuple's constructor arguments in.
  template <std::size_t... I>
  static std::tuple<Ts...> take(const std::vector<DRAVVar*>& values, const std::string& bridge,
                                const std::string& method, std::index_sequence<I...>) {
    (checkResult<Ts>(*values[I], I, bridge, method), ...);
    return std::tuple<Ts...>(takeResult<Ts>(*values[I])...);
  }
};

// What a client call may send: values of a kind, or one list alone.
template <typename... A>
constexpr bool requireArguments() {
  if constexpr (!(requireValueKindOrList<A>() && ... && true)) {
    return false;
  } else if constexpr ((isList<A> || ... || false) && sizeof...(A) > 1) {
    static_assert(kAlwaysFalse<std::tuple<A...>>, "a list goes as the call's only argument: its values are the call's values");
    return false;
  } else {
    return true;
  }
}

}  // namespace detail
}  // namespace DRAVTyped

class DRAVBridgeClient {
public:
  using ValueSink = DRAVTyped::AnswerReader::ValueSink;

  // Opens nothing: the first call makes the first proxy. Without an
  // AuthInfo the client takes the process's defaults, as a DRAVLookupPolicy
  // made now does: the credentials of the "-DRAVhttp_auth_..." and
  // "-DRAVproxy_user/pwd" options (DRAVLookupPolicy::getAuthInfo). With
  // one it sends exactly those; the "-DRAVssl_..." options still fill in
  // what its TLS policy leaves open.
  DRAVBridgeClient(std::string bridgeName, Url url, DRAVClientSettings settings = DRAVClientSettings())
      : DRAVBridgeClient(std::move(bridgeName), std::move(url), DRAVLookupPolicy().getAuthInfo(), std::move(settings)) {}
  DRAVBridgeClient(std::string bridgeName, Url url, AuthInfo authInfo,
                   DRAVClientSettings settings = DRAVClientSettings())
      : settings_(std::move(settings)),
        pool_(std::move(bridgeName), std::move(url), std::move(authInfo), settings_.maxConnections,
              settings_.prepareProxy),
        queue_(settings_.maxConnections) {}
  DRAVBridgeClient(const DRAVBridgeClient&) = delete;
  DRAVBridgeClient& operator=(const DRAVBridgeClient&) = delete;

  // Calls `method` with `args` and returns its results as R: void for none,
  // std::tuple<...> for several, a std::vector for a list of them all,
  // DRAVArgs for the list as it came, else the one result. A std::vector
  // argument (a list) is the call's only one: its elements are the values.
  // An argument its kind cannot carry (a long beyond 32 bits) is refused
  // before anything is sent, naming the call, its position and the value.
  template <typename R = void, typename... A>
  R call(const std::string& method, const A&... args) {
    return call<R>(DRAVCallOptions(), method, args...);
  }
  template <typename R = void, typename... A>
  R call(const DRAVCallOptions& options, const std::string& method, const A&... args) {
    // A type without a kind is one static_assert line; nothing more is compiled then.
    if constexpr (DRAVTyped::detail::requireArguments<A...>() && DRAVTyped::requireResult<R, true>()) {
      DRAVDataOutputStream body;
      encode(body, method, args...);
      DRAVTyped::AnswerReader answer(false, nullptr, settings_.maxAnswerBytes, 2 * settings_.maxAnswerBytes);
      exchange(options, method, body, answer);
      return DRAVTyped::detail::ResultsAs<R>::from(answer.results(), bridge(), method);
    } else {
      throw std::logic_error("refused at compile time");
    }
  }

  // Calls `method` streaming out: the bridge's one binary value goes to
  // `sink` piece by piece as it arrives, never held whole. Returns its size.
  template <typename... A>
  std::uint32_t stream(const std::string& method, ValueSink sink, const A&... args) {
    return stream(DRAVCallOptions(), method, std::move(sink), args...);
  }
  template <typename... A>
  std::uint32_t stream(DRAVCallOptions options, const std::string& method, ValueSink sink, const A&... args) {
    if constexpr (DRAVTyped::detail::requireArguments<A...>()) {
      if (options.streamingMode != StreamingInOut) options.streamingMode = StreamingOut;
      DRAVDataOutputStream body;
      encode(body, method, args...);
      DRAVTyped::AnswerReader answer(true, std::move(sink), settings_.maxAnswerBytes, 2 * settings_.maxAnswerBytes);
      exchange(options, method, body, answer);
      return answer.valueSize();
    } else {
      throw std::logic_error("refused at compile time");
    }
  }
  // The same into a stream; a write that fails ends the call with DRAVException.
  template <typename... A>
  std::uint32_t stream(const std::string& method, std::ostream& out, const A&... args) {
    return stream(method, intoStream(out), args...);
  }

  // call() on one of the client's threads. The arguments are copied now
  // (a DRAVBytes argument's bytes, and a blob of the options, must stay
  // until the future is ready).
  template <typename R = void, typename... A>
  std::future<R> callAsync(const std::string& method, A&&... args) {
    return callAsync<R>(DRAVCallOptions(), method, std::forward<A>(args)...);
  }
  template <typename R = void, typename... A>
  std::future<R> callAsync(DRAVCallOptions options, std::string method, A&&... args) {
    auto promise = std::make_shared<std::promise<R>>();
    std::future<R> result = promise->get_future();
    auto values = std::make_shared<std::tuple<std::decay_t<A>...>>(std::forward<A>(args)...);
    queue_.post(
        [this, promise, values, options, method] {
          try {
            if constexpr (std::is_void<R>::value) {
              std::apply([&](const auto&... a) { call<R>(options, method, a...); }, *values);
              promise->set_value();
            } else {
              promise->set_value(std::apply([&](const auto&... a) { return call<R>(options, method, a...); }, *values));
            }
          } catch (...) {
            promise->set_exception(std::current_exception());
          }
        },
        [this, promise, method] {
          promise->set_exception(std::make_exception_ptr(DRAVCallCancelledException(bridge(), method)));
        });
    return result;
  }

  const std::string& bridge() const { return pool_.bridge(); }
  const DRAVClientSettings& settings() const { return settings_; }
  // Connections (proxies) made so far, never more than maxConnections.
  unsigned connections() const { return pool_.made(); }

private:
  // Binary values go out as the client's choice says; the list only
  // borrows those it does not compress, for as long as it takes to write them.
  template <typename... A>
  void encode(DRAVDataOutputStream& body, const std::string& method, const A&... args) const {
    DRAVArgs list;
    [[maybe_unused]] std::size_t position = 0;
    (addArgument(list, args, position, method), ...);
    list.writeObject(body);
  }

  // Appends one argument (a list: its elements) at `position`, which moves past it.
  template <typename A>
  void addArgument(DRAVArgs& list, const A& value, std::size_t& position, const std::string& method) const {
    if constexpr (DRAVTyped::isList<A>) {
      for (const auto& element : value) addArgument(list, element, position, method);
    } else {
      try {
        DRAVTyped::addValue(list, value, settings_.compression);
      } catch (const DRAVException& e) {
        const char* hint = std::is_integral<A>::value ? " (a 64-bit integer travels as DRAVInt64)" : "";
        throw DRAVException(DRAVTyped::callName(bridge(), method) + ": argument " + std::to_string(position) +
                            " cannot be sent: " + e.what() + hint);
      }
      ++position;
    }
  }

  static ValueSink intoStream(std::ostream& out) {
    return [&out](const unsigned char* data, std::size_t size) {
      if (!out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size)))
        throw DRAVException("the streamed value could not be written");
    };
  }

  // Sends the body (and the options' blob), reads the answer into `answer`,
  // and throws for everything but an answer with status 0.
  void exchange(const DRAVCallOptions& options, const std::string& method, DRAVDataOutputStream& body,
                DRAVTyped::AnswerReader& answer) {
    std::vector<unsigned char> fileBlob;
    const unsigned char* blob = options.extraBlob;
    unsigned long blobSize = options.extraBlob ? options.extraBlobSize : 0;
    if (!options.extraBlobFile.empty()) {
      fileBlob = readFile(options.extraBlobFile, method);
      blob = fileBlob.data();
      blobSize = static_cast<unsigned long>(fileBlob.size());
    }
    const unsigned long chunk = options.chunkSize != 0 || blobSize == 0 ? options.chunkSize
                                                                        : DRAVCallOptions::kDefaultBlobChunk;
    DRAVTyped::ProxyPool::Lease lease = pool_.acquire();
    DRAVHttpRequestPtr request(lease.proxy().createRequest());
    request->setRepeatable(options.repeatable || settings_.repeatableMethods.count(method) > 0);
    try {
      const unsigned long sent = request->call(method, reinterpret_cast<char*>(body.getBuffer(0)), body.size(), chunk,
                                               options.needSsoToken, options.streamingMode,
                                               blobSize ? const_cast<unsigned char*>(blob) : nullptr, blobSize);
      if (sent == 0) throw HttpPostDataException(request->failureCode(), request->failureText());
      delete[] body.detach();  // sent: its memory goes back before the answer comes
    } catch (const UnknownCertAuthException& e) {
      throw DRAVCallTransportFailure<UnknownCertAuthException>(e, bridge(), method);
    } catch (const UnknownClientCertAuthException& e) {
      throw DRAVCallTransportFailure<UnknownClientCertAuthException>(e, bridge(), method);
    } catch (const ChunkedPostDataException& e) {
      throw DRAVCallTransportFailure<ChunkedPostDataException>(e, bridge(), method);
    } catch (const CallMayHaveRunException& e) {
      throw DRAVCallTransportFailure<CallMayHaveRunException>(e, bridge(), method);
    } catch (const HttpPostDataException& e) {
      throw DRAVCallTransportFailure<HttpPostDataException>(e, bridge(), method);
    }
    if (request->getCallStatus().httpCode() != 200)
      throw DRAVHttpStatusException(bridge(), method,
                                    DRAVErrorAnswer::read(*request.get(), settings_.maxErrorText, settings_.readSize),
                                    settings_.maxErrorText);
    readAnswer(*request.get(), method, answer);
    const DRAVTyped::AnswerStatus& status = answer.status();
    if (status.code != 0) throw DRAVInvocationException(bridge(), method, status.code, status.message);
  }

  void readAnswer(DRAVHttpRequest& request, const std::string& method, DRAVTyped::AnswerReader& answer) {
    char* piece = nullptr;
    try {
      for (unsigned long n; (n = request.receive(piece, settings_.readSize)) > 0;)
        answer.feed(reinterpret_cast<const unsigned char*>(piece), n);
      // Whole by its own form or not, an answer whose reading failed is not
      // the one the host sent.
      if (request.failureCode() != 0)
        throw DRAVException("cut off after " + std::to_string(answer.received()) + " bytes: " + request.failureText());
      answer.finish();
    } catch (const std::exception& e) {
      ::operator delete(piece);  // as the transport allocated it
      throw DRAVException(DRAVTyped::callName(bridge(), method) + ": the answer cannot be read: " + e.what());
    }
  }

  std::vector<unsigned char> readFile(const std::string& path, const std::string& method) const {
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> bytes;
    if (file) bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!file && !file.eof())
      throw DRAVException(DRAVTyped::callName(bridge(), method) + ": cannot read the extra blob " + path);
    return bytes;
  }

  DRAVClientSettings settings_;
  DRAVTyped::ProxyPool pool_;
  // Last: destroyed first, while the pool its running calls use still stands.
  DRAVTyped::CallQueue queue_;
};
