#include <drav/host/bridge_plugin_loader.h>

#include <drav/host/bridge_plugin.h>
#include <drav/platform/win32.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
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
  // A name without a folder would be looked for on the library path.
  const std::string path = file.find('/') == std::string::npos ? "./" + file : file;
  LoadedModule module(LoadLibraryA(path.c_str()));
  if (!module.get()) {
    // On these hosts LoadLibrary leaves dlopen's reason to dlerror.
    const char* reason = dlerror();
    refuse(file, reason ? reason : "not a shared object this system can load");
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
