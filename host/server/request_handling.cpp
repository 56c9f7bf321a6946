#include "host/server/request_handling.h"

#include "host/server/client_key.h"
#include "host/server/forwarded_client.h"
#include "host/server/header_text.h"
#include "host/pages/page_request.h"
#include "host/pages/page_response.h"

#include <drav/common/near_names.h>
#include <drav/platform/annal.h>

#include <algorithm>
#include <optional>
#include <string_view>

namespace DRAVHost {

namespace {

const Annal::AnnalInitExit annalInitExit;

// The call headers, found in one pass over the head's fields (a call's head
// is read on every call: one lookup each would pass over every field six
// times). Every call header is sent once: two lines with different values
// are refused when the header is read, as RequestHead::soleField does.
class CallFields {
public:
  enum Name { kBridge, kMethod, kSsoToken, kStreaming, kArgsSize, kBlobSize, kCount };

  explicit CallFields(const RequestHead& head) {
    for (const auto& f : head.fields) {
      if (f.first.empty() || drav_wininet::asciiLower(f.first[0]) != 'd') {
        if (!cookies_ && equalsIgnoringCase(f.first, "Cookie")) cookies_ = &f.second;
        continue;
      }
      for (int i = 0; i < kCount; ++i) {
        // Clients write the names as here: the exact match is the quick one.
        if (f.first != kNames[i] && !equalsIgnoringCase(f.first, kNames[i])) continue;
        if (values_[i] && *values_[i] != f.second) conflicts_[i] = true;
        if (!values_[i]) values_[i] = &f.second;
        break;
      }
    }
  }

  // The value of a call header; null when absent.
  const std::string* sole(Name name) const {
    if (conflicts_[name]) throw HttpError(400, std::string(kNames[name]) + " is sent twice with different values");
    return values_[name];
  }
  const std::string& required(Name name) const {
    const std::string* value = sole(name);
    if (!value) throw HttpError(400, "a bridge call carries the header " + std::string(kNames[name]));
    return *value;
  }
  std::uint32_t size(Name name) const {
    const auto size = parseSize(required(name));
    if (!size) throw HttpError(400, std::string(kNames[name]) + " is not a byte count from 0 to 2147483647");
    return *size;
  }
  const std::string* cookies() const { return cookies_; }  // the first Cookie line

private:
  static constexpr std::string_view kNames[kCount] = {"DRAVBridgeName", "DRAVMethodName", "DRAVMethodNeedSsoToken",
                                                      "DRAVStreamingMode", "DRAVArgs-Size", "DRAVExtraBlob-Size"};
  const std::string* values_[kCount] = {};
  bool conflicts_[kCount] = {};
  const std::string* cookies_ = nullptr;
};

// The 413 text for a call that needs more than its memory share: what took
// it, and the setting that raises the share.
std::string overCallBudget(const std::string& what, std::uint64_t budget) {
  return what + " more than the " + std::to_string(budget) +
         " bytes a call may hold; raise call_memory_budget in [limits] (--call-memory-budget)";
}

int streamingModeOf(const std::string& text) {
  if (text == "NO") return 1;
  if (text == "IN") return 2;
  if (text == "OUT") return 4;
  if (text == "INOUT") return 8;
  throw HttpError(400, "DRAVStreamingMode is NO, IN, OUT or INOUT");
}

// What the client sent, as an answer may name it: only when it is short and
// plain, as the host's own answers never echo what could be markup or script.
std::string plainOr(const std::string& text, const char* otherwise) {
  static const char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._~-";
  const bool plain = !text.empty() && text.size() <= 200 && text.find_first_not_of(kPlain) == std::string::npos;
  return plain ? text : otherwise;
}

// The most bridge paths a 404 names.
constexpr std::size_t kMaxListedBridges = 16;

// The 404 of a path no bridge is served at: with the paths that are, and
// the nearest of them, where the host may say what it serves.
std::string noBridgeAt(const std::string& path, const HostRoutes& routes) {
  const std::string shown = plainOr(path, "");
  std::string text = "no bridge at " + (shown.empty() ? std::string("this path") : shown);
  if (!routes.settings.listBridges || routes.bridges.empty()) return text;
  std::vector<std::string> paths;
  for (const auto& bridge : routes.bridges) paths.push_back(bridge.first);
  if (!shown.empty()) text += DRAV::detail::didYouMean(shown, paths);
  text += "; this host serves ";
  for (std::size_t i = 0; i < paths.size() && i < kMaxListedBridges; ++i) text += (i ? ", " : "") + paths[i];
  if (paths.size() > kMaxListedBridges) text += ", and " + std::to_string(paths.size() - kMaxListedBridges) + " more";
  return text;
}

// The 404 of a call that names another bridge than the one at its path:
// with that one's name, where the host may say what it serves.
std::string wrongBridgeName(const BridgeCall& call, const std::string& served, const HostRoutes& routes) {
  const std::string named = plainOr(call.bridgeName, "the one named in DRAVBridgeName");
  const std::string at = "the bridge at " + plainOr(call.path, "this path");
  if (!routes.settings.listBridges) return at + " is not " + named;
  return at + " is " + served + ", not " + named;
}

// The methods a listener serves on some target: POST only where it serves bridges.
const char* methodsServed(const HostRoutes& routes) {
  return routes.bridges.empty() ? "GET, HEAD, OPTIONS" : "GET, HEAD, POST, OPTIONS";
}

}  // namespace

bool isHostAnswer(const RequestHead& head, const HostRoutes& routes) {
  const std::string path = head.path();
  const SsoLogonSettings& sso = routes.settings.sso;
  return routes.bridges.count(path) == 0 && !(routes.metricsPage && path == "/metrics") &&
         !(sso.enabled && path == sso.path);
}

BridgeCall readCallHeaders(const RequestHead& head) {
  BridgeCall call;
  call.path = head.path();
  const CallFields fields(head);
  call.bridgeName = fields.required(CallFields::kBridge);
  call.methodName = fields.required(CallFields::kMethod);
  if (call.methodName.empty()) throw HttpError(400, "DRAVMethodName is empty");
  if (const std::string* token = fields.sole(CallFields::kSsoToken)) {
    if (*token != "yes" && *token != "no")
      throw HttpError(400, "DRAVMethodNeedSsoToken is yes or no");
    call.needSsoToken = *token == "yes";
  }
  if (const std::string* mode = fields.sole(CallFields::kStreaming)) call.streamingMode = streamingModeOf(*mode);
  call.argsSize = fields.size(CallFields::kArgsSize);
  call.extraBlobSize = fields.size(CallFields::kBlobSize);
  if (const std::string* cookies = fields.cookies()) call.cookies = *cookies;
  return call;
}

namespace {

// A bridge call's waits on its client: when the call waits outside its
// running slot, its memory share shrinks to what it holds meanwhile, so that
// calls whose clients are slow keep no memory from the others. A call that
// waits in its slot keeps its share: taking it back would have the slot
// wait for memory that calls waiting for a slot may hold.
class MemoryWhileWaiting : public PeerWaits {
public:
  MemoryWhileWaiting(Channel& channel, CallMemory& memory, const RequestStream& in, const ResponseStream& out)
      : channel_(channel), next_(channel.waitsObserved()), memory_(memory), in_(in), out_(out) {
    channel_.observeWaits(this);
  }
  ~MemoryWhileWaiting() override { channel_.observeWaits(next_); }
  MemoryWhileWaiting(const MemoryWhileWaiting&) = delete;
  MemoryWhileWaiting& operator=(const MemoryWhileWaiting&) = delete;

  bool begin() override {
    shrunk_ = next_ && next_->begin();
    // The bridge holds at most the argument bytes that have come.
    if (shrunk_) memory_.shrinkWhileWaiting(in_.bodyBytesRead(), out_.bufferedBytes());
    return shrunk_;
  }
  void end() override {
    if (shrunk_) memory_.regrow();  // before the slot: no slot waits for memory
    shrunk_ = false;
    if (next_) next_->end();
  }

private:
  Channel& channel_;
  PeerWaits* const next_;
  CallMemory& memory_;
  const RequestStream& in_;
  const ResponseStream& out_;
  bool shrunk_ = false;
};

// One request on its way through the host; the streams live as long as it.
class Exchange {
public:
  Exchange(RequestStream& in, Channel& channel, const HostRoutes& routes, const boost::asio::ip::address& peer,
           const ClientKey& client, bool lastOnConnection, CallWatch* watch)
      : in_(in),
        channel_(channel),
        routes_(routes),
        peer_(peer),
        client_(client),
        watch_(watch),
        out_(channel, routes.settings, in.head().version,
             in.head().keepAlive && !lastOnConnection && !routes.stopping(), in.head().isHead()) {
    // From the stop on every answer closes its connection, one begun before it too.
    out_.closeAfterOnce(routes.stopFlag);
  }

  bool serve();
  // What the access log says of the request once served.
  void fillEntry(AccessEntry& entry) const;

private:
  bool serveBridge(const ServedBridge& bridge);
  bool serveMetrics();
  bool dispatch(BridgeHandler& bridge, const BridgeCall& call);
  // Why a failed call failed, when the host knows better than the bridge.
  std::optional<HttpError> hostCause(const BridgeCall& call, const HttpError& failure) const;
  // Answers with the host's own text; reads a small unread body first so the
  // connection can stay open.
  bool refuse(unsigned status, const std::string& message,
              const std::vector<std::pair<std::string, std::string>>& headers = {});
  // The body is complete (or dropped) and the response sent; true to keep the connection.
  bool complete();

  RequestStream& in_;
  Channel& channel_;
  const HostRoutes& routes_;
  const boost::asio::ip::address& peer_;
  const ClientKey client_;
  CallWatch* const watch_;
  ResponseStream out_;
  CallReport report_;
};

bool Exchange::serve() {
  const RequestHead& head = in_.head();
  if (head.method == "CONNECT") {
    // The client may send its tunnel's bytes at once: they are no request.
    out_.closeAfter();
    return refuse(501, "this host is no proxy: CONNECT is not served");
  }
  if (head.target == "*") {
    if (head.method != "OPTIONS") return refuse(400, "only OPTIONS applies to the whole host (target *)");
    return refuse(200, methodsServed(routes_), {{"Allow", methodsServed(routes_)}});
  }
  const std::string path = head.path();
  const auto bridge = routes_.bridges.find(path);
  if (bridge != routes_.bridges.end()) return serveBridge(bridge->second);

  if (routes_.metricsPage && path == "/metrics") return serveMetrics();
  if (path == "/healthz") {
    if (head.method != "GET" && !head.isHead()) return refuse(405, "/healthz is a GET", {{"Allow", "GET, HEAD"}});
    // A stopping host still serves, but a balancer that asks should send new calls elsewhere.
    if (routes_.stopping()) return refuse(503, "stopping");
    return refuse(200, "ok");  // the host's own text gains its newline
  }
  const SsoLogonSettings& sso = routes_.settings.sso;
  if (sso.enabled && path == sso.path) {
    if (head.method != "GET" && !head.isHead())
      return refuse(405, "the logon is a GET", {{"Allow", "GET, HEAD"}});
    if (!in_.drainBody(routes_.settings.drainLimit)) out_.closeAfter();
    const bool overHttps =
        !routes_.settings.certFile.empty() || forwardedHttps(peer_, head, routes_.trustedProxies);
    answerSsoLogon(head, routes_.settings, routes_.auth.throttle, routes_.auth.sessions, client_, overHttps, out_);
    return out_.keepAlive();
  }
  return refuse(404, noBridgeAt(path, routes_));
}

bool Exchange::serveBridge(const ServedBridge& bridge) {
  const RequestHead& head = in_.head();
  const HostSettings& settings = routes_.settings;
  if (head.method != "POST") return refuse(405, "a bridge is called with POST", {{"Allow", "POST"}});

  if (const auto refusal = refusalOfBasic(head, settings, routes_.auth, client_))
    return refuse(refusal->status, refusal->message, refusal->headers);
  std::string session;
  if (settings.sso.enabled && settings.sso.requiredForBridges) {
    session = openSessionOf(head, routes_.auth.sessions);
    if (session.empty())
      return refuse(403, "no valid SMSESSION cookie: log on at " + settings.sso.path + " first");
  }

  BridgeCall call;
  try {
    call = readCallHeaders(head);
  } catch (const HttpError& e) {
    return refuse(e.status(), e.what());
  }
  if (!bridge.name.empty() && call.bridgeName != bridge.name)
    return refuse(404, wrongBridgeName(call, bridge.name, routes_));
  if (!head.hasContentLength)
    return refuse(411, "a bridge call declares its body length with Content-Length");
  if (head.contentLength != std::uint64_t(call.argsSize) + call.extraBlobSize)
    return refuse(400,
                  "the body length " + std::to_string(head.contentLength) +
                      " is not DRAVArgs-Size + DRAVExtraBlob-Size (" +
                      std::to_string(std::uint64_t(call.argsSize) + call.extraBlobSize) + ")");
  call.user = settings.user;
  call.ssoSession = session;
  CallMemory memory(routes_.memory, settings.callMemoryBudget, call.argsSize);
  if (!memory.reserved()) {
    if (call.argsSize > settings.callMemoryBudget)
      return refuse(413, overCallBudget("the arguments take", settings.callMemoryBudget));
    return refuse(503, "the host's memory is taken by running calls; try again shortly",
                  {{"Retry-After", std::to_string(settings.retryAfterSeconds)}});
  }
  call.decodeBudget = &memory.decodeBudget();
  call.argumentsCharged = memory.argumentsCharged();
  call.report = &report_;
  out_.countAgainst(&memory);
  const MemoryWhileWaiting waits(channel_, memory, in_, out_);
  if (head.expectContinue && !in_.bodyHeld()) ResponseStream::sendContinue(channel_, settings.transferGrace);
  const bool keepOpen = dispatch(*bridge.handler, call);
  out_.countAgainst(nullptr);
  return keepOpen;
}

bool Exchange::serveMetrics() {
  const RequestHead& head = in_.head();
  if (head.method != "GET" && !head.isHead()) return refuse(405, "/metrics is a GET", {{"Allow", "GET, HEAD"}});
  const std::string page = routes_.metricsPage();
  out_.setContentType("text/plain; version=0.0.4; charset=utf-8");
  out_.write(page.data(), page.size());
  return complete();
}

bool Exchange::dispatch(BridgeHandler& bridge, const BridgeCall& call) {
  PageRequest* request = PageRequest::create(in_, static_cast<std::uint32_t>(in_.head().contentLength),
                                             routes_.settings.callMemoryBudget, watch_);
  PageResponse* response = PageResponse::create(out_, watch_);
  std::optional<HttpError> failure;
  bool givenUp = false;
  try {
    // The bridge's code, for the sweep's watch, until it returns or throws.
    struct BridgeCode {
      CallWatch* watch;
      bool& givenUp;
      BridgeCode(CallWatch* w, bool& up) : watch(w), givenUp(up) {
        if (watch) watch->bridgeRuns();
      }
      ~BridgeCode() { givenUp = watch && !watch->hostRuns(); }
    } running{watch_, givenUp};
    bridge.serve(call, request, response);
  } catch (const HttpError& e) {
    failure = e;
  } catch (const std::exception& e) {
    Annal::Logger(Annal::Error) << "host: " << call.path << " " << call.methodName << ": " << e.what();
    failure = HttpError(500, "the bridge failed");
  } catch (...) {
    failure = HttpError(500, "the bridge failed");
  }
  const bool connectionFailed = response->connectionFailed();
  const std::optional<long> statusWritten = response->statusWritten();
  request->detach();
  response->detach();
  request->Release();
  response->Release();

  if (givenUp || connectionFailed) return false;
  if (failure) {
    if (auto cause = hostCause(call, *failure)) failure = cause;
  }
  if (failure) {
    if (!out_.headSent()) return refuse(failure->status(), failure->what());
    // The answer has begun: end the connection without the last chunk, so the
    // client sees a cut answer and not a short whole one.
    Annal::Logger(Annal::Error) << "host: " << call.path << " " << call.methodName << ": " << failure->what();
    return false;
  }
  // What the bridge says of its call wins; else the status it wrote tells.
  if (!report_.invocationStatus) report_.invocationStatus = statusWritten;
  return complete();
}

std::optional<HttpError> Exchange::hostCause(const BridgeCall& call, const HttpError& failure) const {
  // A body that stalled or broke is what failed the call, whatever the bridge made of it.
  if (in_.bodyFailure()) return in_.bodyFailure();
  const std::uint64_t budget = routes_.settings.callMemoryBudget;
  // A 413 of the bridge's own names what it charged to the share.
  if (call.decodeBudget && call.decodeBudget->exceeded() && failure.status() != 413)
    return HttpError(413, overCallBudget("decoding the arguments takes", budget));
  if (out_.memoryExceeded()) return HttpError(413, overCallBudget("the answer takes", budget));
  return std::nullopt;
}

bool Exchange::refuse(unsigned status, const std::string& message,
                      const std::vector<std::pair<std::string, std::string>>& headers) {
  // A client waiting for 100 Continue may or may not send its body now.
  if (in_.head().expectContinue && !in_.bodyComplete() && !in_.bodyHeld()) out_.closeAfter();
  else if (!in_.drainBody(routes_.settings.drainLimit)) out_.closeAfter();
  out_.sendText(status, message, headers);
  return out_.keepAlive();
}

bool Exchange::complete() {
  const bool bodyDone = in_.drainBody(routes_.settings.drainLimit);
  if (!bodyDone) out_.closeAfter();
  out_.finish();
  return bodyDone && out_.keepAlive();
}

void Exchange::fillEntry(AccessEntry& entry) const {
  const RequestHead& head = in_.head();
  entry.path = head.path();
  if (const std::string* method = head.field("DRAVMethodName")) entry.methodName = *method;
  entry.bytesIn = in_.bodyBytesRead();
  entry.bytesOut = out_.bytesSent();
  if (watch_ && watch_->givenUp()) {
    // The host answered in the bridge's stead; what the bridge reports is
    // its own thread's, which may still be writing it.
    entry.status = 504;
    entry.cutOff = watch_->answerBegun();
    return;
  }
  entry.status = out_.statusCode();
  entry.cutOff = !out_.delivered();
  entry.invocationStatus = report_.invocationStatus;
}

// A request's access-log line and metrics count, made once: when it has been
// served, or for a bridge call given up, as the host answers it (from the
// sweep's thread: the call's own may never come back from its bridge).
class RequestRecord : public CallWatch::Record {
public:
  RequestRecord(const HostRoutes& routes, const Exchange& exchange, const boost::asio::ip::address& client,
                CallWatch* watch)
      : routes_(routes), exchange_(exchange), client_(client), watch_(watch) {
    if (routes_.accessLog) entry_.start = std::chrono::system_clock::now();
    if (watch_) watch_->recordWith(this);
  }
  ~RequestRecord() {
    if (watch_) watch_->recordWith(nullptr);
  }
  RequestRecord(const RequestRecord&) = delete;
  RequestRecord& operator=(const RequestRecord&) = delete;

  // The request is done with; false when it was recorded as given up.
  bool served() {
    if (watch_ && watch_->givenUp()) return false;
    write();
    return true;
  }
  void givenUp() override { write(); }

private:
  void write() {
    exchange_.fillEntry(entry_);
    const auto took = std::chrono::steady_clock::now() - started_;
    if (routes_.metrics) routes_.metrics->record(entry_, took);
    if (!routes_.accessLog) return;
    entry_.client = client_.to_string();
    entry_.duration = std::chrono::duration_cast<std::chrono::milliseconds>(took);
    routes_.accessLog->write(entry_);
  }

  const HostRoutes& routes_;
  const Exchange& exchange_;
  const boost::asio::ip::address& client_;
  CallWatch* const watch_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  AccessEntry entry_;
};

}  // namespace

bool serveRequest(RequestStream& in, Channel& channel, const HostRoutes& routes, const boost::asio::ip::address& peer,
                  bool lastOnConnection, CallWatch* watch) {
  ++routes.requestsServed;
  const boost::asio::ip::address client = forwardedClient(peer, in.head(), routes.trustedProxies);
  std::optional<RunningCalls::Scope> listed;
  if (routes.running) listed.emplace(*routes.running, in.head(), peer, watch);
  if (!routes.accessLog && !routes.metrics)
    return Exchange(in, channel, routes, peer, clientKeyOf(client), lastOnConnection, watch).serve();

  Exchange exchange(in, channel, routes, peer, clientKeyOf(client), lastOnConnection, watch);
  RequestRecord record(routes, exchange, client, watch);
  const auto served = [&] {
    // A call given up was recorded by the sweep that gave it up, under the
    // running list's lock: leaving the list waits for that to be done with
    // the exchange.
    if (!record.served()) listed.reset();
  };
  try {
    const bool keepOpen = exchange.serve();
    served();
    return keepOpen;
  } catch (...) {
    served();
    throw;
  }
}

}  // namespace DRAVHost
