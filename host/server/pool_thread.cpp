#include "host/server/pool_thread.h"

#include <drav/platform/annal.h>

#include <exception>

namespace DRAVHost {

namespace {
const Annal::AnnalInitExit annalInitExit;
}  // namespace

void runPoolThread(boost::asio::io_context& io, const char* who) {
  while (true) {
    try {
      io.run();
      return;
    } catch (const std::exception& e) {
      Annal::Logger(Annal::Error) << who << ": " << e.what();
    }
  }
}

}  // namespace DRAVHost
