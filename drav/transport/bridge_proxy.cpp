#include <drav/transport/bridge_proxy.h>

#include <drav/config/cookies.h>
#include <drav/platform/annal.h>
#include <drav/transport/http_event_sink.h>
#include <drav/transport/http_request.h>
#include <drav/transport/sso_provider.h>
#include <drav/transport/wininet_text.h>

namespace {
const Annal::AnnalInitExit annalInitExit;
}  // namespace

using DRAV::detail::WideText;

struct DRAVBridgeProxy::Lock {
  Lock() { InitializeCriticalSection(&section); }
  ~Lock() { DeleteCriticalSection(&section); }
  CRITICAL_SECTION section;
};

namespace {
// Holds a critical section for a scope, released on every exit.
class Guard {
public:
  explicit Guard(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
  ~Guard() { LeaveCriticalSection(&section_); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

private:
  CRITICAL_SECTION& section_;
};
}  // namespace

DRAVBridgeProxy::DRAVBridgeProxy(const std::string& bridgeName, const Url& url, const AuthInfo& authInfo)
    : url_(url), authInfo_(authInfo), bridgeName_(bridgeName), eventSink_(new DefaultHttpEventSink()),
      lock_(new Lock()) {}

DRAVBridgeProxy::~DRAVBridgeProxy() {
  closeConnection();
  delete eventSink_;
  delete ssoProvider_;
}

void DRAVBridgeProxy::init() {
  DRAVSsoProvider* provider = DRAVSsoProvider::create(authInfo_.ssoProvider());
  delete ssoProvider_;  // a second init replaces the first provider instead of leaking it
  ssoProvider_ = provider;
  if (ssoProvider_) {
    const bool own = !authInfo_.signOnUser().empty();
    ssoProvider_->getUserInfo().name(own ? authInfo_.signOnUser() : authInfo_.user());
    ssoProvider_->getUserInfo().pass(own ? authInfo_.signOnPass() : authInfo_.pass());
  }
}

bool DRAVBridgeProxy::openConnection() {
  Guard guard(lock_->section);
  if (connected_ && InternetAttemptConnect(0) == ERROR_SUCCESS) return true;
  unsafeCloseConnection();
  DRAV::detail::useHttp11();
  sessionHandle_ = InternetOpenW(WideText("DRAVBridgeProxy").c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!sessionHandle_) {
    // Ending the process here would report success to whoever started it;
    // the call fails through its ordinary error path instead.
    Annal::Logger(Annal::Error) << "Failed to open session";
    return false;
  }
  connectionHandle_ = DRAV::detail::connectTo(sessionHandle_, url_);
  if (!connectionHandle_) {
    Annal::Logger(Annal::Error) << "Failed to connect";
    return false;
  }
  DRAV::detail::setTransportTimeouts(connectionHandle_);
  connected_ = true;
  return true;
}

bool DRAVBridgeProxy::closeConnection() {
  Guard guard(lock_->section);
  return unsafeCloseConnection();
}

bool DRAVBridgeProxy::unsafeCloseConnection() {
  if (!connected_) {
    // A session opened without a connection must not be left behind.
    if (sessionHandle_ && !connectionHandle_) closeHandle(sessionHandle_.exchange(nullptr));
    return true;
  }
  if (!closeHandle(connectionHandle_)) {
    Annal::Logger(Annal::Error) << "Failed to close Connect handle";
    return false;
  }
  connectionHandle_ = nullptr;
  if (!closeHandle(sessionHandle_)) {
    Annal::Logger(Annal::Error) << "Failed to close Session handle";
    return false;
  }
  sessionHandle_ = nullptr;
  connected_ = false;
  return true;
}

bool DRAVBridgeProxy::closeHandle(void* handle) { return !handle || InternetCloseHandle(handle) != FALSE; }

void DRAVBridgeProxy::setCookies(const std::string& cookies) {
  {
    std::lock_guard<std::mutex> lock(cookiesMutex_);
    cookies_ = cookies;
  }
  applyCookies(cookies);
}

void DRAVBridgeProxy::reapplyCookies() {
  std::string cookies;
  {
    std::lock_guard<std::mutex> lock(cookiesMutex_);
    cookies = cookies_;
  }
  applyCookies(cookies);  // an empty string too, as setCookies does
}

void DRAVBridgeProxy::applyCookies(const std::string& cookies) {
  const std::string target = url_.toString();
  const WideText wideUrl(target);
  if (!cookies.empty()) {
    const DRAVCookies parsed(cookies);
    for (const auto& cookie : parsed.getCookies()) {
      Annal::Logger(Annal::M) << "setting cookie : '" << cookie.first << "' = '" << cookie.second << "'";
      if (!InternetSetCookieW(wideUrl.c_str(), WideText(cookie.first).c_str(), WideText(cookie.second).c_str()))
        Annal::Logger(Annal::Error) << "ERROR : unable to set the cookies for the url : " << target << " "
                                    << cookie.first << "=" << cookie.second;
    }
  }
  if (!InternetSetCookieW(wideUrl.c_str(), nullptr, WideText(cookies).c_str()))
    Annal::Logger(Annal::Error) << "ERROR : unable to set the cookies for the url : " << target;
}

DRAVHttpRequest* DRAVBridgeProxy::createRequest() { return new DRAVHttpRequest(this); }

void DRAVBridgeProxy::setEventSink(HttpEventSink* sink) {
  if (sink == eventSink_) return;
  delete eventSink_;
  eventSink_ = sink;
}
