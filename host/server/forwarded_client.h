// Who a request came from when a reverse proxy stands before the host: the
// proxy's own address unless the proxy is one the operator trusts, and then
// the address the proxy recorded ("X-Forwarded-For", else "X-Real-IP").
// Not authentication: failed-logon counting keeps to the peer's address.
#pragma once

#include "host/server/request_stream.h"

#include <boost/asio/ip/address.hpp>

#include <string>
#include <vector>

namespace DRAVHost {

// Parsed trusted-proxy addresses; std::invalid_argument naming the one that is no IP address.
std::vector<boost::asio::ip::address> parseTrustedProxies(const std::vector<std::string>& texts);

// The client's address as text. From a trusted peer: the last entry of
// X-Forwarded-For that is not itself a trusted proxy, if it is an IP
// address; else X-Real-IP if that is one; else the peer. The headers of any
// other peer are ignored.
std::string forwardedClient(const boost::asio::ip::address& peer, const RequestHead& head,
                            const std::vector<boost::asio::ip::address>& trusted);

}  // namespace DRAVHost
