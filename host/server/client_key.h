// What the host counts a client by: its IPv4 address, or the /64 network of
// its IPv6 address (one subscriber usually holds a whole /64, so counting
// single IPv6 addresses would let one client pass for billions). Not a
// general address type.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <array>
#include <cstddef>
#include <functional>

namespace DRAVHost {

// 16 bytes: an IPv4 address in its IPv6-mapped form, or an IPv6 /64 prefix
// followed by zeros.
using ClientKey = std::array<unsigned char, 16>;

ClientKey clientKeyOf(const boost::asio::ip::address& address);

struct ClientKeyHash {
  std::size_t operator()(const ClientKey& key) const;
};

}  // namespace DRAVHost
