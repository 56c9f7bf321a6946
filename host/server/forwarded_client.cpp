#include "host/server/forwarded_client.h"

#include "host/server/header_text.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace DRAVHost {

namespace {

using boost::asio::ip::address;

std::optional<address> addressIn(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  boost::system::error_code error;
  const address parsed = boost::asio::ip::make_address(text, error);
  if (error) return std::nullopt;
  return parsed;
}

// An X-Forwarded-For entry's address: some proxies add the port they were
// reached from ("192.0.2.7:5678", "[2001:db8::5]:80"), which says nothing of
// the client. A bare IPv6 address keeps its colons.
std::optional<address> entryAddress(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  const auto isPort = [](std::string_view port) {
    return !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view after = text.substr(close + 1);
    if (!after.empty() && (after.front() != ':' || !isPort(after.substr(1)))) return std::nullopt;
    const auto inner = addressIn(text.substr(1, close - 1));
    if (!inner || !inner->is_v6()) return std::nullopt;
    return inner;
  }
  const auto colon = text.find(':');
  if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
    if (!isPort(text.substr(colon + 1))) return std::nullopt;
    return addressIn(text.substr(0, colon));
  }
  return addressIn(text);
}

// An IPv4 peer on a dual-stack listener arrives IPv4-mapped.
address plain(const address& peer) {
  return peer.is_v6() && peer.to_v6().is_v4_mapped()
             ? address(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, peer.to_v6()))
             : peer;
}

bool isTrusted(const address& one, const std::vector<address>& trusted) {
  return std::find(trusted.begin(), trusted.end(), plain(one)) != trusted.end();
}

// Walks the X-Forwarded-For entries from the last: the client they name, or
// nothing when no entry is an IP address.
std::optional<address> forwardedFor(const RequestHead& head, const std::vector<address>& trusted) {
  std::optional<address> nearest;
  for (auto line = head.fields.rbegin(); line != head.fields.rend(); ++line) {
    if (!equalsIgnoringCase(line->first, "X-Forwarded-For")) continue;
    std::string_view rest = line->second;
    while (true) {
      const auto comma = rest.rfind(',');
      const auto one = entryAddress(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
      if (!one) return nearest;
      nearest = plain(*one);
      if (!isTrusted(*one, trusted)) return nearest;
      if (comma == std::string_view::npos) break;
      rest = rest.substr(0, comma);
    }
  }
  return nearest;
}

}  // namespace

std::vector<address> parseTrustedProxies(const std::vector<std::string>& texts) {
  std::vector<address> parsed;
  for (const std::string& text : texts) {
    const auto one = addressIn(text);
    if (!one) throw std::invalid_argument("trusted proxy '" + text + "' is not an IP address");
    parsed.push_back(plain(*one));  // compared with peers and entries in their plain form
  }
  return parsed;
}

address forwardedClient(const address& peer, const RequestHead& head, const std::vector<address>& trusted) {
  if (trusted.empty() || !isTrusted(peer, trusted)) return plain(peer);
  if (const auto client = forwardedFor(head, trusted)) return *client;
  for (auto line = head.fields.rbegin(); line != head.fields.rend(); ++line) {
    if (!equalsIgnoringCase(line->first, "X-Real-IP")) continue;
    if (const auto one = addressIn(line->second)) return plain(*one);
    break;
  }
  return plain(peer);
}

bool forwardedHttps(const address& peer, const RequestHead& head, const std::vector<address>& trusted) {
  if (trusted.empty() || !isTrusted(peer, trusted)) return false;
  for (const auto& line : head.fields) {
    if (!equalsIgnoringCase(line.first, "X-Forwarded-Proto")) continue;
    std::size_t at = 0;
    while (at <= line.second.size()) {
      const std::size_t comma = std::min(line.second.find(',', at), line.second.size());
      if (equalsIgnoringCase(trimBlanks(line.second.substr(at, comma - at)), "https")) return true;
      at = comma + 1;
    }
  }
  return false;
}

}  // namespace DRAVHost
