#include "host/server/client_key.h"

#include <cstring>

namespace DRAVHost {

ClientKey clientKeyOf(const boost::asio::ip::address& address) {
  if (address.is_v4()) return boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, address.to_v4()).to_bytes();
  ClientKey key = address.to_v6().to_bytes();
  if (address.to_v6().is_v4_mapped()) return key;
  std::memset(key.data() + 8, 0, 8);
  return key;
}

std::size_t ClientKeyHash::operator()(const ClientKey& key) const {
  // FNV-1a: the table is bounded, so an attacker who made keys collide would
  // only slow lookups in a table of at most a few thousand entries.
  std::size_t hash = 14695981039346656037ull;
  for (unsigned char byte : key) hash = (hash ^ byte) * 1099511628211ull;
  return hash;
}

}  // namespace DRAVHost
