#include "host/connection.h"

#include "host/header_text.h"
#include "host/page_request.h"
#include "host/page_response.h"

#include <drav/platform/annal.h>

#include <algorithm>
#include <optional>

namespace DRAVHost {

namespace {

const Annal::AnnalInitExit annalInitExit;

// How long a closing connection still reads what the client sends, so that
// the answer is not cut off by a reset.
constexpr std::chrono::milliseconds kLinger(1000);

const std::string& requiredField(const RequestHead& head, const char* name) {
  const std::string* value = head.field(name);
  if (!value) throw HttpError(400, std::string("a bridge call carries the header ") + name);
  return *value;
}

std::uint32_t sizeField(const RequestHead& head, const char* name) {
  const std::string& text = requiredField(head, name);
  const auto size = parseSize(text);
  if (!size) throw HttpError(400, std::string(name) + " is not a byte count from 0 to 2147483647: '" + text + "'");
  return *size;
}

int streamingModeOf(const std::string& text) {
  if (text == "NO") return 1;
  if (text == "IN") return 2;
  if (text == "OUT") return 4;
  if (text == "INOUT") return 8;
  throw HttpError(400, "DRAVStreamingMode is NO, IN, OUT or INOUT, not '" + text + "'");
}

}  // namespace

BridgeCall readCallHeaders(const RequestHead& head) {
  BridgeCall call;
  call.path = head.path();
  call.bridgeName = requiredField(head, "DRAVBridgeName");
  call.methodName = requiredField(head, "DRAVMethodName");
  if (call.methodName.empty()) throw HttpError(400, "DRAVMethodName is empty");
  if (const std::string* token = head.field("DRAVMethodNeedSsoToken")) {
    if (*token != "yes" && *token != "no")
      throw HttpError(400, "DRAVMethodNeedSsoToken is yes or no, not '" + *token + "'");
    call.needSsoToken = *token == "yes";
  }
  if (const std::string* mode = head.field("DRAVStreamingMode")) call.streamingMode = streamingModeOf(*mode);
  call.argsSize = sizeField(head, "DRAVArgs-Size");
  call.extraBlobSize = sizeField(head, "DRAVExtraBlob-Size");
  if (const std::string* cookies = head.field("Cookie")) call.cookies = *cookies;
  return call;
}

Connection::Connection(std::unique_ptr<Channel> channel, const HostRoutes& routes, const ClientKey& client)
    : channel_(std::move(channel)), routes_(routes), client_(client) {}

void Connection::run() {
  const HostSettings& settings = routes_.settings;
  const auto linger = std::min(kLinger, settings.ioTimeout);
  try {
    channel_->handshake(settings.ioTimeout);
  } catch (const ChannelError& e) {
    Annal::Logger(Annal::Error) << "host: " << e.what();
    channel_->close(std::chrono::milliseconds(0));
    return;
  }
  RequestStream in(*channel_, settings);
  for (unsigned served = 0; served < settings.maxRequestsPerConnection; ++served) {
    bool keepOpen = false;
    try {
      if (!in.readHead(served == 0 ? settings.ioTimeout : settings.idleTimeout)) break;
      ++routes_.requestsServed;
      keepOpen = serve(in, served + 1 == settings.maxRequestsPerConnection);
    } catch (const HttpError& e) {
      // A head the host refuses: answer and end the connection, whose next bytes cannot be trusted.
      ResponseStream out(*channel_, settings, 11, false);
      try {
        out.sendText(e.status(), e.what());
      } catch (const ChannelError&) {
      }
    } catch (const ChannelError& e) {
      if (!e.timedOut()) Annal::Logger(Annal::XS) << "host: connection ended: " << e.what();
      else Annal::Logger(Annal::Error) << "host: " << e.what();
    } catch (const std::exception& e) {
      Annal::Logger(Annal::Error) << "host: request failed: " << e.what();
    }
    if (!keepOpen) break;
  }
  channel_->close(linger);
}

bool Connection::serve(RequestStream& in, bool lastOnConnection) {
  const RequestHead& head = in.head();
  ResponseStream out(*channel_, routes_.settings, head.version, head.keepAlive && !lastOnConnection);
  const std::string path = head.path();
  const auto bridge = routes_.bridges.find(path);
  if (bridge != routes_.bridges.end()) return serveBridge(in, out, *bridge->second);

  const SsoLogonSettings& sso = routes_.settings.sso;
  if (sso.enabled && path == sso.path) {
    if (head.method != "GET")
      return refuse(in, out, 405, "the logon is a GET", {{"Allow", "GET"}});
    if (!in.drainBody(routes_.settings.drainLimit)) out.closeAfter();
    answerSsoLogon(head, routes_.settings, routes_.auth.throttle, routes_.auth.sessions, client_, out);
    return out.keepAlive();
  }
  return refuse(in, out, 404, "no bridge at " + path);
}

bool Connection::serveBridge(RequestStream& in, ResponseStream& out, BridgeHandler& bridge) {
  const RequestHead& head = in.head();
  const HostSettings& settings = routes_.settings;
  if (head.method != "POST") return refuse(in, out, 405, "a bridge is called with POST", {{"Allow", "POST"}});

  if (const auto refusal = refusalOfBasic(head, settings, routes_.auth, client_))
    return refuse(in, out, refusal->status, refusal->message, refusal->headers);
  std::string session;
  if (settings.sso.enabled && settings.sso.requiredForBridges) {
    session = openSessionOf(head, routes_.auth.sessions);
    if (session.empty())
      return refuse(in, out, 403, "no valid SMSESSION cookie: log on at " + settings.sso.path + " first");
  }

  BridgeCall call;
  try {
    call = readCallHeaders(head);
  } catch (const HttpError& e) {
    return refuse(in, out, e.status(), e.what());
  }
  if (!head.hasContentLength)
    return refuse(in, out, 411, "a bridge call declares its body length with Content-Length");
  if (head.contentLength != std::uint64_t(call.argsSize) + call.extraBlobSize)
    return refuse(in, out, 400,
                  "the body length " + std::to_string(head.contentLength) +
                      " is not DRAVArgs-Size + DRAVExtraBlob-Size (" +
                      std::to_string(std::uint64_t(call.argsSize) + call.extraBlobSize) + ")");
  call.user = settings.user;
  call.ssoSession = session;
  if (head.expectContinue) ResponseStream::sendContinue(*channel_, settings.ioTimeout);
  return dispatch(in, out, bridge, call);
}

bool Connection::dispatch(RequestStream& in, ResponseStream& out, BridgeHandler& bridge, const BridgeCall& call) {
  PageRequest* request = PageRequest::create(in, static_cast<std::uint32_t>(in.head().contentLength));
  PageResponse* response = PageResponse::create(out);
  std::optional<HttpError> failure;
  try {
    bridge.serve(call, request, response);
  } catch (const HttpError& e) {
    failure = e;
  } catch (const std::exception& e) {
    failure = HttpError(500, std::string("the bridge failed: ") + e.what());
  } catch (...) {
    failure = HttpError(500, "the bridge failed");
  }
  const bool connectionFailed = response->connectionFailed();
  request->detach();
  response->detach();
  request->Release();
  response->Release();

  if (connectionFailed) return false;
  if (failure) {
    if (!out.headSent()) return refuse(in, out, failure->status(), failure->what());
    // The answer has begun: end the connection without the last chunk, so the
    // client sees a cut answer and not a short whole one.
    Annal::Logger(Annal::Error) << "host: " << call.path << " " << call.methodName << ": " << failure->what();
    return false;
  }
  return complete(in, out);
}

bool Connection::refuse(RequestStream& in, ResponseStream& out, unsigned status, const std::string& message,
                        const std::vector<std::pair<std::string, std::string>>& headers) {
  // A client waiting for 100 Continue may or may not send its body now.
  if (in.head().expectContinue && !in.bodyComplete()) out.closeAfter();
  else if (!in.drainBody(routes_.settings.drainLimit)) out.closeAfter();
  out.sendText(status, message, headers);
  return out.keepAlive();
}

bool Connection::complete(RequestStream& in, ResponseStream& out) {
  const bool bodyDone = in.drainBody(routes_.settings.drainLimit);
  if (!bodyDone) out.closeAfter();
  out.finish();
  return bodyDone && out.keepAlive();
}

}  // namespace DRAVHost
