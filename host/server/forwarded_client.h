// Who a request came from when reverse proxies stand before the host: the
// peer itself unless it is a proxy the operator trusts, and then the address
// the nearest proxy that is not trusted recorded. The client writes what it
// likes into these headers; only what trusted proxies appended counts. The
// access log names this client, and failed logons are counted against it.
#pragma once

#include "host/server/request_stream.h"

#include <boost/asio/ip/address.hpp>

#include <string>
#include <vector>

namespace DRAVHost {

// Parsed trusted-proxy addresses, IPv4-mapped ones as IPv4; std::invalid_argument
// naming the one that is no IP address.
std::vector<boost::asio::ip::address> parseTrustedProxies(const std::vector<std::string>& texts);

// The client's address. From a trusted peer: the entries of every
// X-Forwarded-For line, taken as one list in arrival order, are walked from
// the last one back (each proxy appends the address it was reached from);
// the first that is not a trusted proxy is the client. A port an entry
// carries ("192.0.2.7:5678", "[2001:db8::5]:80") is dropped. An entry that is no IP
// address ends the walk at the last trusted proxy passed, and when every
// entry is a trusted proxy the first one is the client. Without a usable
// X-Forwarded-For entry: the last X-Real-IP line, if it is an IP address;
// else the peer. The headers of any other peer are ignored. IPv4 addresses
// come as IPv4, also from a dual-stack listener.
boost::asio::ip::address forwardedClient(const boost::asio::ip::address& peer, const RequestHead& head,
                                         const std::vector<boost::asio::ip::address>& trusted);

// Whether the client reached the first proxy over https, as trusted proxies
// say in X-Forwarded-Proto: from a trusted peer, when any entry of any such
// line is "https" (a client that adds one only makes its own cookie
// stricter). The headers of any other peer are ignored.
bool forwardedHttps(const boost::asio::ip::address& peer, const RequestHead& head,
                    const std::vector<boost::asio::ip::address>& trusted);

}  // namespace DRAVHost
