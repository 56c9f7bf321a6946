#include <drav/transport/transport_errors.h>

#include <drav/common/wire_width.h>

UnknownCertAuthException::UnknownCertAuthException() : std::runtime_error("Unknown Certificate Authority") {}
UnknownCertAuthException::UnknownCertAuthException(const std::string& detail)
    : std::runtime_error("Unknown Certificate Authority: " + detail) {}
UnknownCertAuthException::~UnknownCertAuthException() = default;

UnknownClientCertAuthException::UnknownClientCertAuthException()
    : std::runtime_error("Unknown Client Certificate Authority") {}
UnknownClientCertAuthException::~UnknownClientCertAuthException() = default;

HttpPostDataException::HttpPostDataException(unsigned long errorCode)
    : std::runtime_error("HTTP Request Send failed"),
      errorCode_(DRAV::detail::toWireULong(errorCode, "HttpPostDataException error code")) {}
HttpPostDataException::HttpPostDataException(unsigned long errorCode, const std::string& detail)
    : std::runtime_error("HTTP Request Send failed: " + detail),
      errorCode_(DRAV::detail::toWireULong(errorCode, "HttpPostDataException error code")) {}
HttpPostDataException::~HttpPostDataException() = default;

CallMayHaveRunException::CallMayHaveRunException(unsigned long errorCode, const std::string& detail)
    : std::runtime_error("Call may have run: " + detail + " (the request went out and no answer came; not sent again)"),
      errorCode_(DRAV::detail::toWireULong(errorCode, "CallMayHaveRunException error code")) {}
CallMayHaveRunException::~CallMayHaveRunException() = default;

ChunkedPostDataException::ChunkedPostDataException(unsigned long errorCode)
    : std::runtime_error("Chunked post data failed after retry"),
      errorCode_(DRAV::detail::toWireULong(errorCode, "ChunkedPostDataException error code")) {}
ChunkedPostDataException::~ChunkedPostDataException() = default;

CallStatus::CallStatus(unsigned long httpCode, const std::string& error)
    : error_(error), httpCode_(DRAV::detail::toWireULong(httpCode, "CallStatus HTTP code")) {}
