// What the transport reports: the exceptions a call throws (each with its
// fixed message) and CallStatus, the outcome of a finished call. Plain
// values; nothing here talks to the network.
#pragma once

#include <drav/export.h>

#include <cstdint>
#include <stdexcept>
#include <string>

// The server's certificate did not verify: an authority the client does
// not trust, a name that is not the host's, or dates that do not hold.
class DRAV_EXPORT UnknownCertAuthException : public std::runtime_error {
public:
  UnknownCertAuthException();
  // The message goes on with ": " and `detail` (the host, port and reason).
  explicit UnknownCertAuthException(const std::string& detail);
  UnknownCertAuthException(const UnknownCertAuthException&) = default;
  UnknownCertAuthException& operator=(const UnknownCertAuthException&) = default;
  ~UnknownCertAuthException() override;
};

// The server asked for a client certificate.
class DRAV_EXPORT UnknownClientCertAuthException : public std::runtime_error {
public:
  UnknownClientCertAuthException();
  UnknownClientCertAuthException(const UnknownClientCertAuthException&) = default;
  UnknownClientCertAuthException& operator=(const UnknownClientCertAuthException&) = default;
  ~UnknownClientCertAuthException() override;
};

// Sending failed; the code is the system's last error (a WinINet code).
// From a call: the request did not reach the bridge, or the bridge's
// answer refused it (see CallMayHaveRunException for the other case).
// A code that does not fit 32 bits is refused with DRAVException.
class DRAV_EXPORT HttpPostDataException : public std::runtime_error {
public:
  explicit HttpPostDataException(unsigned long errorCode);
  // The message goes on with ": " and `detail` (the host, port and reason).
  HttpPostDataException(unsigned long errorCode, const std::string& detail);
  HttpPostDataException(const HttpPostDataException&) = default;
  HttpPostDataException& operator=(const HttpPostDataException&) = default;
  ~HttpPostDataException() override;
  unsigned long getErrorCode() const { return errorCode_; }

private:
  std::uint32_t errorCode_;
};

// A call that went out, in part or whole, and got no answer (a reset, a
// closed connection, a time-out): the bridge's method may have run. The
// transport does not send it again unless the call was declared repeatable
// (DRAVHttpRequest::setRepeatable); whether to repeat it is the caller's
// decision. Not an HttpPostDataException, whose catchers may take it for a
// request that was never delivered.
class DRAV_EXPORT CallMayHaveRunException : public std::runtime_error {
public:
  // The message: "Call may have run: " + `detail` (the host, port and
  // reason) and what was not done.
  CallMayHaveRunException(unsigned long errorCode, const std::string& detail);
  CallMayHaveRunException(const CallMayHaveRunException&) = default;
  CallMayHaveRunException& operator=(const CallMayHaveRunException&) = default;
  ~CallMayHaveRunException() override;
  unsigned long getErrorCode() const { return errorCode_; }

private:
  std::uint32_t errorCode_;
};

// A chunked post asked to be repeated twice in a row.
class DRAV_EXPORT ChunkedPostDataException : public std::runtime_error {
public:
  explicit ChunkedPostDataException(unsigned long errorCode);
  ChunkedPostDataException(const ChunkedPostDataException&) = default;
  ChunkedPostDataException& operator=(const ChunkedPostDataException&) = default;
  ~ChunkedPostDataException() override;
  unsigned long getErrorCode() const { return errorCode_; }

private:
  std::uint32_t errorCode_;
};

// The outcome of a call: the HTTP status (0 when none arrived) and, when
// the server did not answer, the reason. A default status reads as failed.
class DRAV_EXPORT CallStatus {
public:
  // Refuses an httpCode that does not fit 32 bits with DRAVException.
  CallStatus(unsigned long httpCode = 500,
             const std::string& error = "error occured (either on the client or server part)");
  unsigned long httpCode() const { return httpCode_; }
  const std::string& error() const { return error_; }  // valid while the status lives

private:
  std::string error_;
  std::uint32_t httpCode_;
};
