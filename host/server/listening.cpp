#include "host/server/listening.h"

#include <stdexcept>

namespace DRAVHost {

void listenOn(boost::asio::ip::tcp::acceptor& acceptor, const std::string& address, unsigned short port,
              const std::string& role) {
  using boost::asio::ip::tcp;
  boost::system::error_code error;
  const auto ip = boost::asio::ip::make_address(address, error);
  if (error) throw std::runtime_error((role.empty() ? "" : role + " listener: ") + "not an IP address: '" + address + "'");
  const tcp::endpoint endpoint(ip, port);
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
  if (error) {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) +
                             (role.empty() ? "" : " (" + role + ")") + ": " + error.message());
  }
}

}  // namespace DRAVHost
