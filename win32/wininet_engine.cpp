#include <win32/wininet_engine.h>

#include <win32/ascii_case.h>

#include <new>

#include <openssl/ssl.h>
#include <poll.h>

namespace drav_wininet {

Engine::Engine() : multi_(curl_multi_init()), easy_(curl_easy_init()) {
  if (!multi_ || !easy_) {
    if (easy_) curl_easy_cleanup(easy_);
    if (multi_) curl_multi_cleanup(multi_);
    throw std::bad_alloc();
  }
}

Engine::~Engine() {
  curl_multi_remove_handle(multi_, easy_);
  curl_easy_cleanup(easy_);
  curl_multi_cleanup(multi_);
  curl_slist_free_all(list_);
  curl_url_cleanup(parsed_);
}

void Engine::noteKeptConnection(bool ended) {
  keptSocket_ = CURL_SOCKET_BAD;
  keptPort_ = -1;
  // Both from what libcurl noted of the connection: no system call.
  if (!ended || curl_easy_getinfo(easy_, CURLINFO_ACTIVESOCKET, &keptSocket_) != CURLE_OK ||
      keptSocket_ == CURL_SOCKET_BAD || curl_easy_getinfo(easy_, CURLINFO_LOCAL_PORT, &keptPort_) != CURLE_OK)
    keptSocket_ = CURL_SOCKET_BAD;
}

bool Engine::keptConnectionHoldsBytes(long localPort) const {
  // Another connection may have the kept one's socket number by now: the
  // same local port makes it the kept one. Were it not (a new connection
  // that got both), it would only be opened once more.
  if (keptSocket_ == CURL_SOCKET_BAD || localPort != keptPort_) return false;
  pollfd ready{keptSocket_, POLLIN, 0};
  if (::poll(&ready, 1, 0) > 0) return true;
  // Over TLS they may have left the socket already, read with the record
  // that ended the last answer, and wait in the TLS layer.
  curl_tlssessioninfo* tls = nullptr;
  return curl_easy_getinfo(easy_, CURLINFO_TLS_SSL_PTR, &tls) == CURLE_OK && tls &&
         tls->backend == CURLSSLBACKEND_OPENSSL && tls->internals &&
         SSL_has_pending(static_cast<SSL*>(tls->internals)) == 1;
}

CURLU* Engine::parsedUrl(const std::string& url) {
  if (!parsedText_.empty() && url == parsedText_) return parsed_;
  parsedText_.clear();
  if (!parsed_ && !(parsed_ = curl_url())) throw std::bad_alloc();
  // The flags libcurl parses a URL text with itself, so that both forms
  // name the same target.
  const CURLUcode rc = curl_url_set(parsed_, CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME);
  if (rc == CURLUE_OUT_OF_MEMORY) throw std::bad_alloc();
  if (rc != CURLUE_OK) return nullptr;
  parsedText_ = url;
  return parsed_;
}

curl_slist* Engine::headerList(const HeaderFields& headers, const std::string& cookie) {
  if (list_ && headers == listHeaders_ && cookie == listCookie_) return list_;
  HeaderFields keyHeaders = headers;
  std::string keyCookie = cookie;
  curl_slist_free_all(list_);
  list_ = nullptr;
  curl_slist* list = nullptr;
  const auto append = [&list](const std::string& line) {
    curl_slist* longer = curl_slist_append(list, line.c_str());
    if (!longer) {
      curl_slist_free_all(list);
      throw std::bad_alloc();  // sending the request without its headers would be worse
    }
    list = longer;
  };
  std::string pendingCookie = cookie;
  bool accept = false, contentType = false;
  std::string line;
  for (const auto& h : headers) {
    line.assign(h.first).append(": ").append(h.second);
    if (!pendingCookie.empty() && equalsNoCase(h.first, "Cookie")) {
      line.append("; ").append(pendingCookie);
      pendingCookie.clear();
    }
    append(line);
    accept = accept || equalsNoCase(h.first, "Accept");
    contentType = contentType || equalsNoCase(h.first, "Content-Type");
  }
  if (!pendingCookie.empty()) append("Cookie: " + pendingCookie);
  // Only what the caller asked for goes out: no Expect handshake, no
  // default Accept or form Content-Type of libcurl's own.
  append("Expect:");
  if (!accept) append("Accept:");
  if (!contentType) append("Content-Type:");
  listHeaders_.swap(keyHeaders);
  listCookie_.swap(keyCookie);
  list_ = list;
  return list_;
}

}  // namespace drav_wininet
