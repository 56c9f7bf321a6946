// One thread of a host's pool: it runs the I/O context until the context
// stops. A handler that throws is logged and the thread runs on, so that one
// fault does not take the thread, and the pool's capacity, with it.
#pragma once

#include <boost/asio/io_context.hpp>

namespace DRAVHost {

// `who` names the pool in the diagnostic log ("host", "admin listener").
void runPoolThread(boost::asio::io_context& io, const char* who);

}  // namespace DRAVHost
