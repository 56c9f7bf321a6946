#include <drav/transport/sso_provider.h>

#include <drav/config/cookies.h>
#include <drav/common/log_field.h>
#include <drav/config/credentials.h>
#include <drav/platform/annal.h>
#include <drav/platform/glossa.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/failure_text.h>
#include <drav/transport/transport_errors.h>
#include <drav/transport/wininet_text.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace {
const Annal::AnnalInitExit annalInitExit;
// A logon page is small; a server sending without end must not hold the call.
constexpr int kMaxLogonPieces = 16384;
// The start of a refused logon's answer that its exception shows.
constexpr std::size_t kShownAnswer = 512;
}  // namespace

using DRAV::detail::WideText;

DRAVSsoProvider::~DRAVSsoProvider() = default;

DRAVSsoProvider* DRAVSsoProvider::create(const std::string& name) {
  if (name.empty()) {
    Annal::Logger(Annal::XS) << "no SSO provider to be initialized";
    return nullptr;
  }
  if (name == "siteminder") return new SiteMinderSsoProvider();
  throw std::runtime_error("unsupported SSO provider '" + name + "'");
}

struct SiteMinderSsoProvider::Lock {
  Lock() { InitializeCriticalSection(&section); }
  ~Lock() { DeleteCriticalSection(&section); }
  CRITICAL_SECTION section;
};

SiteMinderSsoProvider::SiteMinderSsoProvider() : DRAVSsoProvider("siteminder"), lock_(new Lock()) {}
SiteMinderSsoProvider::~SiteMinderSsoProvider() = default;

bool SiteMinderSsoProvider::hasSessionCookie(const DRAVBridgeProxy& proxy) {
  const DRAVCookies::CookieMap cookies = DRAVCookies(proxy.getCookies()).getCookies();
  const auto session = cookies.find("SMSESSION");
  return session != cookies.end() && !session->second.empty();
}

void SiteMinderSsoProvider::initialize(DRAVBridgeProxy* proxy) {
  if (loggedOn_) return;
  EnterCriticalSection(&lock_->section);
  try {
    if (!loggedOn_) {
      Annal::Logger(Annal::M) << "initializing the DRAV Proxy with SiteMinder";
      if (!hasSessionCookie(*proxy)) {
        Annal::Logger(Annal::M) << "the current cookie hasn't got the SiteMinder credential : logon";
        logon(proxy);
        Annal::Logger(Annal::M) << "logon done";
      }
      loggedOn_ = true;
    }
  } catch (...) {
    LeaveCriticalSection(&lock_->section);
    throw;
  }
  LeaveCriticalSection(&lock_->section);
}

namespace {
// Closes the logon's handles on every way out.
struct LogonHandles {
  HINTERNET session = nullptr, connection = nullptr, request = nullptr;
  ~LogonHandles() {
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    if (session) InternetCloseHandle(session);
  }
};
}  // namespace

void SiteMinderSsoProvider::logon(DRAVBridgeProxy* proxy) {
  const Url& root = proxy->rootUrl();
  const std::string rootText = root.toString();
  DRAV::detail::refuseUnknownScheme(root);
  DRAV::detail::useHttp11();
  LogonHandles h;
  h.session = InternetOpenW(WideText("DRAVBridgeProxySSO").c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!h.session) {
    Annal::Logger(Annal::Error) << "Failed to open session";
    return;
  }
  h.connection = DRAV::detail::connectTo(h.session, root);
  if (!h.connection) {
    Annal::Logger(Annal::Error) << "Failed to connect";
    return;
  }
  DRAV::detail::setTransportTimeouts(h.connection);
  Annal::Logger(Annal::M) << "GET to rootUrl : " << rootText;
  InternetSetCookieW(WideText(rootText).c_str(), nullptr, WideText("SMCHALLENGE=YES").c_str());
  const TlsPolicy tls = DRAV::detail::tlsPolicyOf(proxy->authInfo());
  h.request = DRAV::detail::openRequest(h.connection, "GET", root, tls);
  if (!h.request) Annal::Logger(Annal::Error) << "Failed to open request handle";
  const Base64Credentials credentials(getUserInfo().name(), getUserInfo().pass());
  const WideText header("Authorization: Basic " + credentials.getCredentials() + "\r\n");
  HttpAddRequestHeadersW(h.request, header.c_str(), header.length(), HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
  const AuthInfo& a = proxy->getAuthInfo();
  if (a.needProxyAuth()) {
    DRAV::detail::setTextOption(h.request, INTERNET_OPTION_PROXY_USERNAME, a.proxyUser());
    DRAV::detail::setTextOption(h.request, INTERNET_OPTION_PROXY_PASSWORD, a.proxyPass());
  }
  if (!HttpSendRequestW(h.request, nullptr, 0, nullptr, 0)) {
    const DWORD code = GetLastError();
    const std::string line = DRAV::detail::failureLine(root, code, h.request, &tls);
    Annal::Logger(Annal::Error) << "unable to send data : " << line;
    throw HttpPostDataException(code, line);
  }
  DWORD status = 0, statusSize = sizeof status;
  HttpQueryInfoW(h.request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, nullptr);
  // The answer is read to its end (it may set cookies on the way) and its
  // start kept to say why a logon failed; it may carry a session, so it is
  // written nowhere else.
  std::string answer;
  char* piece = nullptr;
  bool ended = false;
  for (int pieces = 0; pieces < kMaxLogonPieces; ++pieces) {
    const unsigned long k = DRAV::detail::readPiece(h.request, piece, 1000, ended, Annal::M);
    if (k == 0) break;
    answer.append(piece, std::min<std::size_t>(k, kShownAnswer - std::min(kShownAnswer, answer.size())));
  }
  ::operator delete(piece);
  if (ended) h.request = nullptr;  // the end closed it; a failed or cut-short read leaves it to LogonHandles
  DWORD length = 0;
  const WideText wideRoot(rootText);
  InternetGetCookieW(wideRoot.c_str(), nullptr, nullptr, &length);
  std::vector<WCHAR> text(static_cast<std::size_t>(length) + 1, 0);
  DWORD reported = length + 1;
  if (length > 0 && InternetGetCookieW(wideRoot.c_str(), nullptr, text.data(), &reported))
    text[std::min<std::size_t>(reported, length)] = 0;
  else
    text[0] = 0;
  const std::string cookies = zu_utf8string(ucs2string(reinterpret_cast<const unsigned short*>(text.data()))).str();
  const DRAVCookies::CookieMap given = DRAVCookies(cookies).getCookies();
  const auto found = given.find("SMSESSION");
  const bool session = found != given.end() && !found->second.empty();
  if (status < 200 || status > 299 || !session) {
    // A call made without the session would only be refused later: it
    // stops here, and the proxy keeps its cookies.
    const std::string why = DRAV::detail::escapeLogField(root.host()) + ":" + std::to_string(root.port()) +
                            ": the sign-on at /" + DRAV::detail::escapeShownText(root.uri(), 256) + " answered HTTP " +
                            std::to_string(status) +
                            (status >= 200 && status <= 299 ? " without a session (SMSESSION)" : "") +
                            (answer.empty() ? "" : ": " + DRAV::detail::escapeShownText(answer, kShownAnswer));
    Annal::Logger(Annal::Error) << "logon failed : " << why;
    throw HttpPostDataException(status, why);
  }
  proxy->setCookies(cookies);
}
