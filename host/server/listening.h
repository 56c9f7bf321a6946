// Opening a listening socket, shared by the bridge listener (bridge_host.cpp)
// and the admin listener (admin_listener.cpp). Not the accepting itself,
// which each does its own way.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <string>

namespace DRAVHost {

// The pause before accepting again after accept itself failed (out of
// descriptors, say), so that a lasting failure does not spin.
constexpr std::chrono::milliseconds kAcceptRetryPause(100);

// Opens `acceptor` on `address`:`port` (0: a free port), reusing the
// address, and listens. std::runtime_error when the address is no IP address
// or the port cannot be listened on; a listener with a `role` names it in
// the message ("admin listener: not an IP address: ...", "cannot listen on
// ADDRESS:PORT (admin): ..."). The acceptor stays closed on failure.
void listenOn(boost::asio::ip::tcp::acceptor& acceptor, const std::string& address, unsigned short port,
              const std::string& role = std::string());

}  // namespace DRAVHost
