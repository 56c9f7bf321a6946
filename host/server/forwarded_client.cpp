#include "host/server/forwarded_client.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace DRAVHost {

namespace {

using boost::asio::ip::address;

std::optional<address> addressIn(std::string text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  boost::system::error_code error;
  const address parsed = boost::asio::ip::make_address(text, error);
  if (error) return std::nullopt;
  return parsed;
}

bool isTrusted(const address& peer, const std::vector<address>& trusted) {
  // An IPv4 peer on a dual-stack listener arrives IPv4-mapped.
  const address plain = peer.is_v6() && peer.to_v6().is_v4_mapped()
                            ? address(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, peer.to_v6()))
                            : peer;
  return std::find(trusted.begin(), trusted.end(), plain) != trusted.end();
}

}  // namespace

std::vector<address> parseTrustedProxies(const std::vector<std::string>& texts) {
  std::vector<address> parsed;
  for (const std::string& text : texts) {
    const auto one = addressIn(text);
    if (!one) throw std::invalid_argument("trusted proxy '" + text + "' is not an IP address");
    parsed.push_back(*one);
  }
  return parsed;
}

std::string forwardedClient(const address& peer, const RequestHead& head, const std::vector<address>& trusted) {
  if (!isTrusted(peer, trusted)) return peer.to_string();
  if (const std::string* forwarded = head.field("X-Forwarded-For")) {
    std::string rest = *forwarded;
    while (true) {
      const auto comma = rest.rfind(',');
      const std::string entry = comma == std::string::npos ? rest : rest.substr(comma + 1);
      const auto one = addressIn(entry);
      if (!one) break;
      if (!isTrusted(*one, trusted)) return one->to_string();
      if (comma == std::string::npos) break;
      rest.resize(comma);
    }
  }
  if (const std::string* real = head.field("X-Real-IP")) {
    if (const auto one = addressIn(*real)) return one->to_string();
  }
  return peer.to_string();
}

}  // namespace DRAVHost
