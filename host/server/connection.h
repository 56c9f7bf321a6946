// One accepted connection's life on the host's asynchronous side, all on
// the event loop it was accepted onto: the TLS handshake, then for each
// request waiting for it, reading its head (and a body small enough for the
// input buffer) without holding a thread, running it on the loop thread
// that completed the read (within the bound on running requests, after a
// wait in line, or answering 503 at once when the line is full too), and at
// the end closing with a short linger so that the last answer is not cut
// off by a reset. Every wait has a deadline the registry enforces. Not the
// handling of a request (request_handling.h), the loops (event_loops.h) nor
// the listener (bridge_host.h).
#pragma once

#include "host/server/buffer_pool.h"
#include "host/server/connection_registry.h"
#include "host/server/event_loops.h"
#include "host/server/request_handling.h"
#include "host/server/request_slots.h"
#include "host/server/stuck_calls.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

namespace DRAVHost {

// What every connection of a host shares; it outlives them all.
struct ConnectionShared {
  const HostRoutes& routes;
  ConnectionRegistry& registry;
  RequestSlots& slots;
  BufferPool& buffers;
  boost::asio::ssl::context* tls;  // null: plain HTTP
  StuckCalls* stuck = nullptr;      // null: no call is given up
};

// Takes the accepted socket, which belongs to `loop`, over and serves it
// there until it closes: its requests run on the loop's threads. When the
// host holds its most connections the socket is answered 503 and closed:
// plain HTTP at once; TLS after the handshake, all within a short deadline,
// while the registry has room for refusals (the listener waits when it has
// none, so a TLS client is never closed without its answer). The registry
// counts the refusal.
void startConnection(boost::asio::ip::tcp::socket socket, EventLoop& loop, ConnectionShared& shared);

}  // namespace DRAVHost
