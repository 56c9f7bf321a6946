// The libcurl handles one request's exchanges run on, and what they keep
// between exchanges: the header list, the parsed URL, the kept connection.
// Internal to the WinINet layer.
#pragma once

#include <curl/curl.h>

#include <string>
#include <utility>
#include <vector>

namespace drav_wininet {

// Request headers as name and value, in the order they go out.
using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// A multi handle with one easy handle. The multi handle's connection cache
// keeps the connection alive between the exchanges that reuse the engine.
class Engine {
public:
  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  CURLM* multi() const { return multi_; }
  CURL* easy() const { return easy_; }
  // libcurl's header list for an exchange sending `headers` ("Name: value"
  // lines) and the store's `cookie` (joined to the first Cookie header, or
  // a Cookie header of its own), owned by the engine until the next
  // exchange: the list of the last exchange is used again when both are the
  // same, as they mostly are for small calls. Throws std::bad_alloc.
  curl_slist* headerList(const HeaderFields& headers, const std::string& cookie);
  // libcurl's parsed form of `url`, owned by the engine and kept while the
  // URL stays the same: an exchange handed it skips parsing the URL and
  // writing it out again. Null when libcurl's parser refuses the URL (the
  // exchange then meets the refusal as before). Throws std::bad_alloc.
  CURLU* parsedUrl(const std::string& url);

  // The easy handle holds only the options every exchange sets again and
  // those of a small post, after an exchange that ended well: another small
  // post needs no reset of the handle (which would make libcurl redo its
  // setup of every option).
  bool holdsSmallPost = false;

  // After an exchange: remembers its connection, which the cache may keep
  // (`ended`: the exchange ended well), else forgets it.
  void noteKeptConnection(bool ended);
  // Whether a request about to go out from `localPort` does so on the kept
  // connection, and bytes (or its end) already wait on it, in its socket or
  // its TLS layer: nothing was asked on it since its last answer ended, so
  // they answer no request.
  bool keptConnectionHoldsBytes(long localPort) const;

private:
  CURLM* multi_;
  CURL* easy_;
  HeaderFields listHeaders_;  // what list_ was built from
  std::string listCookie_;
  curl_slist* list_ = nullptr;
  std::string parsedText_;  // what parsed_ holds; empty: nothing
  CURLU* parsed_ = nullptr;
  curl_socket_t keptSocket_ = CURL_SOCKET_BAD;
  long keptPort_ = -1;
};

}  // namespace drav_wininet
