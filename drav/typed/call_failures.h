// How a typed call fails, as exceptions a caller can tell apart. Each message
// begins with "bridge.method: ". They join the library's families:
//
//   transport failures    the transport's own exceptions (UnknownCertAuthException,
//                         HttpPostDataException: not delivered or refused,
//                         CallMayHaveRunException: sent, no answer, ...), thrown as
//                         DRAVCallTransportFailure<E>: still an E, with the names
//                         and the host, port and reason
//   DRAVHttpStatusException       another HTTP status than 200, from the host or from
//                                 a server on the way (a proxy's error page)
//   DRAVInvocationException       the bridge answered with a non-zero status code
//                                 (a DRAVSmartProxyException, as generated proxies threw)
//   DRAVResultMismatchException   the results are not what the call expects
//   DRAVCallCancelledException    an asynchronous call never ran: its client went away
//
// An answer that cannot be decoded at all throws DRAVException.
#pragma once

#include <drav/common/log_field.h>
#include <drav/common/exception.h>
#include <drav/transport/error_answer.h>

#include <cstddef>
#include <string>
#include <utility>

namespace DRAVTyped {
// "bridge.method", as the messages name a call.
inline std::string callName(const std::string& bridge, const std::string& method) { return bridge + "." + method; }
}  // namespace DRAVTyped

// A transport exception E of the call to bridge.method: caught as E (its
// error code and all), with a message that says which call failed.
template <typename E>
class DRAVCallTransportFailure : public E {
public:
  DRAVCallTransportFailure(const E& cause, const std::string& bridge, const std::string& method)
      : E(cause), message_(DRAVTyped::callName(bridge, method) + ": " + cause.what()) {}
  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
};

// The host answered with another HTTP status than 200.
class DRAVHttpStatusException : public DRAVException {
public:
  // `answer` as DRAVErrorAnswer::read found it; what() shows at most
  // `shown` characters of its text, escaped.
  DRAVHttpStatusException(const std::string& bridge, const std::string& method, DRAVErrorAnswer answer,
                          std::size_t shown)
      : DRAVException(DRAVTyped::callName(bridge, method) + ": " + answer.describe(shown)), answer_(std::move(answer)) {}
  unsigned long httpCode() const { return answer_.httpCode; }
  // The start of the answer's body as it came, unescaped.
  const std::string& body() const { return answer_.body; }
  // Whether the bridge host answered, or something on the way (a proxy's page).
  bool fromHost() const { return answer_.fromHost; }
  const DRAVErrorAnswer& answer() const { return answer_; }

private:
  DRAVErrorAnswer answer_;
};

// The bridge's message whole in bridgeMessage(); what() shows its start,
// escaped (a hostile bridge chooses it).
class DRAVInvocationException : public DRAVSmartProxyException {
public:
  static constexpr std::size_t kShownMessageBytes = 4096;

  DRAVInvocationException(const std::string& bridge, const std::string& method, long code, std::string bridgeMessage)
      : DRAVSmartProxyException(DRAVTyped::callName(bridge, method) + ": the bridge answered status " +
                                std::to_string(code) + ": " +
                                DRAV::detail::escapeShownText(bridgeMessage, kShownMessageBytes)),
        code_(code),
        bridgeMessage_(std::move(bridgeMessage)) {}
  long code() const { return code_; }
  const std::string& bridgeMessage() const { return bridgeMessage_; }

private:
  long code_;
  std::string bridgeMessage_;
};

// The results are not what the call expects.
class DRAVResultMismatchException : public DRAVException {
public:
  // The result at `position` is of kind `received` where `expected` was
  // wanted; "nothing" stands for a result that is missing or one too many.
  // `shownValue`, when given, is the result as the message shows it ("Int
  // 40000": a number the expected type cannot hold).
  DRAVResultMismatchException(const std::string& bridge, const std::string& method, std::size_t position,
                              std::string expected, std::string received, const std::string& shownValue = "")
      : DRAVException(DRAVTyped::callName(bridge, method) + ": result " + std::to_string(position) + " is " +
                      (shownValue.empty() ? received : shownValue) + ", expected " + expected),
        position_(position),
        expected_(std::move(expected)),
        received_(std::move(received)) {}
  std::size_t position() const { return position_; }
  const std::string& expected() const { return expected_; }
  const std::string& received() const { return received_; }

private:
  std::size_t position_;
  std::string expected_;
  std::string received_;
};

// An asynchronous call never ran: its client went away first.
class DRAVCallCancelledException : public DRAVException {
public:
  DRAVCallCancelledException(const std::string& bridge, const std::string& method)
      : DRAVException(DRAVTyped::callName(bridge, method) +
                      ": cancelled before it was sent (its client was destroyed)") {}
};
