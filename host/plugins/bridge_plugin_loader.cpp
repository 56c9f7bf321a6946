#include <drav/host/bridge_plugin_loader.h>

#include <drav/host/bridge_plugin.h>
#include <drav/platform/win32.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

namespace DRAVHost {
namespace {

[[noreturn]] void refuse(const std::string& file, const std::string& reason) {
  throw std::runtime_error("cannot load bridge plugin '" + file + "': " + reason);
}

// LoadLibrary renames a name without an extension ("x" -> "libx.so") as
// Windows appends ".dll": a plugin's name says it is a shared object.
bool namesSharedObject(const std::string& file) {
  const std::string name = file.substr(file.rfind('/') + 1);
  const std::size_t so = name.rfind(".so");
  return so != std::string::npos && so > 0 && (so + 3 == name.size() || name[so + 3] == '.');
}

// A shared object starts with the ELF header; dlopen's word for a file that
// does not ("file too short", "invalid ELF header") does not say so.
std::optional<std::string> notSharedObject(const std::string& file) {
  char start[64] = {};
  std::ifstream in(file, std::ios::binary);
  in.read(start, sizeof start);
  const std::size_t length = static_cast<std::size_t>(in.gcount());
  if (length >= 4 && std::memcmp(start, "\x7f" "ELF", 4) == 0) return std::nullopt;
  const bool text = std::all_of(start, start + length, [](char c) {
    return std::isprint(static_cast<unsigned char>(c)) || std::isspace(static_cast<unsigned char>(c));
  });
  return std::string("not a shared object: ") +
         (length == 0 ? "it is empty" : text ? "it holds text" : "it does not start with an ELF header");
}

// The name as the source spells it; a name too long to be one is left as is.
std::string demangled(const std::string& symbol) {
  if (symbol.size() > 4096) return symbol;
  int status = 0;
  const std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status),
                                                    std::free);
  return status == 0 && name ? name.get() : symbol;
}

// dlopen's reason, said as what it means for the plugin's author where the
// dynamic linker's words do not.
std::string loadFailure(const std::string& reason) {
  const std::string undefined = ": undefined symbol: ";
  const std::size_t symbolAt = reason.find(undefined);
  if (symbolAt != std::string::npos) {
    const std::string symbol = reason.substr(symbolAt + undefined.size());
    const std::string name = demangled(symbol);
    return "it needs " + (name == symbol ? symbol : name + " (" + symbol + ")") +
           ", which nothing loaded defines: it was built against another version of a library, or a definition is "
           "missing from it (needed by " + reason.substr(0, symbolAt) + ")";
  }
  return reason;
}

// Unloads the plugin on every way out until its bridge takes it over.
class LoadedModule {
public:
  explicit LoadedModule(HMODULE module) : module_(module) {}
  ~LoadedModule() {
    if (module_) FreeLibrary(module_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  HMODULE get() const { return module_; }
  HMODULE release() { return std::exchange(module_, nullptr); }

private:
  HMODULE module_;
};

}  // namespace

std::shared_ptr<BridgeHandler> loadBridgePlugin(const std::string& file) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) refuse(file, std::strerror(errno));
  if (!S_ISREG(status.st_mode)) refuse(file, "not a regular file");
  if (!namesSharedObject(file)) refuse(file, "a plugin is a shared object named NAME.so");
  if (const auto notOne = notSharedObject(file)) refuse(file, *notOne);
  // A name without a folder would be looked for on the library path.
  const std::string path = file.find('/') == std::string::npos ? "./" + file : file;
  LoadedModule module(LoadLibraryA(path.c_str()));
  if (!module.get()) {
    // On these hosts LoadLibrary leaves dlopen's reason to dlerror.
    const char* reason = dlerror();
    refuse(file, reason ? loadFailure(reason) : "not a shared object this system can load");
  }
  auto* entry = reinterpret_cast<DRAVBridgePluginEntry*>(
      reinterpret_cast<void (*)()>(GetProcAddress(module.get(), DRAV_BRIDGE_PLUGIN_ENTRY)));
  if (!entry)
    refuse(file, "it exports no " DRAV_BRIDGE_PLUGIN_ENTRY
                 " entry point (see DRAV_BRIDGE_PLUGIN in <drav/host/bridge_plugin.h>)");
  unsigned pluginAbi = 0;
  BridgeHandler* bridge = nullptr;
  try {
    bridge = entry(kBridgePluginAbi, &pluginAbi);
  } catch (const std::exception& e) {
    refuse(file, std::string("its entry point failed: ") + e.what());
  } catch (...) {
    refuse(file, "its entry point failed");
  }
  // A bridge of another ABI, if one was made against the rule, is left alone:
  // not even its destructor is known to be callable.
  if (pluginAbi != kBridgePluginAbi)
    refuse(file, "it was built for bridge plugin ABI " + std::to_string(pluginAbi) + ", this host loads ABI " +
                     std::to_string(kBridgePluginAbi) + "; rebuild it against this dravCommon");
  if (!bridge) refuse(file, "its entry point made no bridge");
  const HMODULE owner = module.release();
  return std::shared_ptr<BridgeHandler>(bridge, [owner](BridgeHandler* made) {
    delete made;
    FreeLibrary(owner);
  });
}

}  // namespace DRAVHost
