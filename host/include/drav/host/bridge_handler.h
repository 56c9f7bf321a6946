// What the bridge host hands a bridge for one call: the call's headers, and
// the page objects (an IDispatch offering IRequest, one offering IResponse)
// through which the bridge reads the posted body and writes its answer.
// Also the exception a bridge throws to answer with an HTTP error instead.
// Not the host itself (bridge_host.h) and not a bridge (sample_bridge.h).
#pragma once

#include <drav/platform/win32.h>
#include <drav/serialization/decode_budget.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace DRAVHost {

// What a bridge tells the host about a call it served, for the access log
// and the metrics.
struct CallReport {
  std::optional<long> invocationStatus;  // the code of the status record the bridge wrote
};

// The headers of one bridge call, checked by the host before the bridge runs.
struct BridgeCall {
  std::string path;           // the request target's path
  std::string bridgeName;     // "DRAVBridgeName"
  std::string methodName;     // "DRAVMethodName"
  bool needSsoToken = false;  // "DRAVMethodNeedSsoToken: yes"
  int streamingMode = 0;      // "DRAVStreamingMode": 1 NO, 2 IN, 4 OUT, 8 INOUT; 0 when not sent
  std::uint32_t argsSize = 0;       // "DRAVArgs-Size": the argument bytes open the body
  std::uint32_t extraBlobSize = 0;  // "DRAVExtraBlob-Size": the bytes after them
  std::string user;           // the Basic user the host checked; empty without authentication
  std::string ssoSession;     // the session cookie the host checked; empty when none is required
  std::string cookies;        // the raw Cookie header, empty when none
  // Whether the bridge may tell a caller what it offers (a description, the
  // methods it has); false when the host keeps that to itself (dravbridge
  // --no-describe).
  bool describe = true;
  // The memory the call may hold: the host counts the argument bytes
  // (argumentsCharged of them) as held from the start; a bridge sets it on
  // the input stream it decodes them from, and charges what else it holds
  // for the call (results, the serialized answer) as it allocates, refunding
  // what it frees, the argument bytes among them once it holds them no
  // longer. Null when the host bounds nothing. The host answers 413 when a
  // decoder refused a charge on it (an HttpError 413 of the bridge's own stands).
  DRAVDecodeBudget* decodeBudget = nullptr;
  std::uint64_t argumentsCharged = 0;
  // Where the bridge may record what it answered; null when nobody asks. The
  // host reads the status a bridge writes through ResponseWrapper::WriteStatus
  // on its own; only a bridge that writes its status otherwise (in one piece
  // with its results) needs to set it, and what it sets wins.
  CallReport* report = nullptr;

  bool streamsOut() const { return streamingMode == 4 || streamingMode == 8; }
};

// A bridge serves calls on the host's connection threads, several at once:
// serve must be safe to run concurrently.
class BridgeHandler {
public:
  virtual ~BridgeHandler() = default;

  // Serves one call. `request` and `response` are the host's objects, each
  // with one reference held by the host for the duration of the call; a
  // bridge that keeps one beyond serve (AddRef) finds it inert (E_UNEXPECTED)
  // afterwards. Throwing HttpError before anything was written answers with
  // that status; any other exception then answers 500. An exception after the
  // answer began drops the connection, so the client never takes a cut
  // answer for a whole one.
  virtual void serve(const BridgeCall& call, IDispatch* request, IDispatch* response) = 0;
};

// An HTTP error status with a message the host sends as the body.
class HttpError : public std::runtime_error {
public:
  HttpError(unsigned status, const std::string& message) : std::runtime_error(message), status_(status) {}
  unsigned status() const { return status_; }

private:
  unsigned status_;
};

}  // namespace DRAVHost
