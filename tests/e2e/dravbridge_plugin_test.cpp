// dravbridge serving bridge plugins: --bridge and its default path, plugins
// named in the configuration file, one copy of the library shared with the
// plugin, and every way a load fails, each named with the file and reason.
#ifdef DRAV_TEST_PLUGINS

#include "bridge_plugins.h"
#include "host_test_support.h"
#include "program_runner.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace e2e {
namespace {

const std::string kPlugins = DRAV_TEST_PLUGINS;
const std::string kProbe = kPlugins + "/libprobe.so";

ProgramResult dravcall(const std::string& url, const std::string& method) {
  return runProgram(DRAVCALL_PROGRAM, {url, "probe", method}, 60s);
}

TEST(BridgeOption, NamesAFileAndAPathOrServesTheFileUnderBridges) {
  const struct {
    const char* value;
    const char* path;
    const char* file;
  } cases[] = {
      {"libgreeter.so", "/bridges/greeter", "libgreeter.so"},
      {"/opt/b/libgreeter.so=/greet", "/greet", "/opt/b/libgreeter.so"},
      {"plugins/sample.so", "/bridges/sample", "plugins/sample.so"},
      {"/opt/libx.so.1", "/bridges/x", "/opt/libx.so.1"},
      {"lib.so", "/bridges/lib", "lib.so"},
      {"libz.so=/a/b", "/a/b", "libz.so"},
  };
  for (const auto& c : cases) {
    const dravbridge::BridgeEntry entry = dravbridge::bridgeOption(c.value);
    EXPECT_EQ(c.path, entry.path) << c.value;
    EXPECT_EQ(c.file, entry.plugin) << c.value;
  }
  // A '=' that starts no path is part of the file's name when that file exists ...
  TempFolder folder;
  ASSERT_EQ(0, mkdir(folder.file("odd=name").c_str(), 0700));
  std::ofstream(folder.file("odd=name/libz.so")) << "x";
  EXPECT_EQ("/bridges/z", dravbridge::bridgeOption(folder.file("odd=name/libz.so")).path);
  // ... else the path lacks its '/', and the refusal says so.
  const struct {
    const char* value;
    const char* reason;
  } refused[] = {
      {"libkv.so=api/kv", "'api/kv' lacks its '/' (did you mean libkv.so=/api/kv?)"},
      {"libkv.so=", "the path after '=' is empty (did you mean libkv.so?)"},
  };
  for (const auto& r : refused) {
    try {
      dravbridge::bridgeOption(r.value);
      ADD_FAILURE() << r.value << " taken";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string("--bridge takes FILE or FILE=PATH, PATH a URL path starting with '/', not '") + r.value +
                    "': " + r.reason,
                e.what());
    }
  }
  const ProgramResult run = runProgram(DRAVBRIDGE_PROGRAM, {"--port", "0", "--bridge", "libkv.so=api/kv"}, 10s);
  EXPECT_EQ(2, run.exitCode);
  EXPECT_EQ("dravbridge: --bridge takes FILE or FILE=PATH, PATH a URL path starting with '/', not 'libkv.so=api/kv': "
            "'api/kv' lacks its '/' (did you mean libkv.so=/api/kv?) (see --help)\n",
            run.err);
}

TEST(DravbridgePlugins, ServesPluginsThatShareItsLibrary) {
  BackgroundProgram host(DRAVBRIDGE_PROGRAM,
                         {"--port", "0", "--trace", "--bridge", kProbe + "=/p", "--bridge", kProbe});
  const std::string port = host.waitForLine("dravbridge: listening on port ");
  ASSERT_NE("", port) << host.stop().err;
  const std::string base = "http://127.0.0.1:" + port;
  EXPECT_EQ(base + "/p", host.waitForLine("dravbridge: bridge " + kProbe + " at "));
  for (const std::string path : {"/p", "/bridges/probe"}) {
    const ProgramResult call = dravcall(base + path, "look");
    EXPECT_EQ(0, call.exitCode) << call.err;
    // true: --trace reached the library the plugin calls, so there is one copy.
    EXPECT_EQ("0 String \"probed at " + path + "\"\n1 Bool true\nstatus 0 \"no error detected\" (probe, look)\n",
              call.out);
  }
  // An HttpError thrown in the plugin is the host's answer.
  const ProgramResult refused = dravcall(base + "/p", "refuse");
  EXPECT_EQ(3, refused.exitCode);
  EXPECT_EQ("dravcall: the host answered HTTP 403: the probe refuses\n", refused.err);
  EXPECT_EQ(3, dravcall(base + "/bridges/sample", "echo").exitCode) << "--bridge replaces the sample";
  // Each plugin is served under its file's name, wherever its path.
  const ProgramResult misnamed = runProgram(DRAVCALL_PROGRAM, {base + "/p", "sample", "look"}, 60s);
  EXPECT_EQ(3, misnamed.exitCode);
  EXPECT_EQ("dravcall: the host answered HTTP 404: the bridge at /p is probe, not sample\n", misnamed.err);
  // Each bridge is deleted before its plugin is unloaded: a clean exit, sanitizers included.
  const ProgramResult stopped = host.stop();
  EXPECT_EQ(0, stopped.exitCode);
  EXPECT_EQ("dravbridge: stopped after 5 requests on 5 connections\n",
            stopped.out.substr(stopped.out.find("dravbridge: stopped")));
}

// A plugin whose call never returns cannot hold the host past its grace: it
// exits non-zero and says which call it left running.
TEST(DravbridgePlugins, AStopLeavesACallThatNeverReturnsAndSaysSo) {
  BackgroundProgram host(DRAVBRIDGE_PROGRAM, {"--port", "0", "--stop-grace", "1s", "--bridge", kProbe});
  const std::string port = host.waitForLine("dravbridge: listening on port ");
  ASSERT_NE("", port) << host.stop().err;
  hosttest::RawClient client(static_cast<unsigned short>(std::stoi(port)));
  std::string hang = hosttest::callRequest("hang", hosttest::encodeArgs(DRAVArgs()), 0, "", "/bridges/probe");
  hang.replace(hang.find("DRAVBridgeName: sample"), 22, "DRAVBridgeName: probe");
  client.send(hang);
  std::this_thread::sleep_for(300ms);
  const auto start = std::chrono::steady_clock::now();
  const ProgramResult stopped = host.stop(20s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s) << "the grace and a moment after the cut";
  EXPECT_EQ(1, stopped.exitCode);
  EXPECT_NE(std::string::npos, stopped.out.find("dravbridge: stopped with 1 call still running after the stop "
                                                "grace, abandoned:\n  \"/bridges/probe\" \"hang\" from "
                                                "127.0.0.1, running for "))
      << stopped.out;
  EXPECT_EQ(std::string::npos, stopped.out.find("dravbridge: stopped after")) << stopped.out;
}

TEST(DravbridgePlugins, ConfigurationFileNamesPluginsBesideIt) {
  TempFolder folder;
  ASSERT_EQ(0, symlink(kProbe.c_str(), folder.file("libprobe.so").c_str()));
  std::ofstream(folder.file("bridge.toml")) << "[[bridge]]\npath = \"/from-file\"\nplugin = \"libprobe.so\"\n"
                                               "[[bridge]]\npath = \"/s\"\nplugin = \"sample\"\n"
                                               "[[bridge]]\npath = \"/kv\"\nplugin = \"libprobe.so\"\nname = \"kv\"\n";
  BackgroundProgram host(DRAVBRIDGE_PROGRAM, {"--port", "0", "--config", folder.file("bridge.toml")});
  const std::string port = host.waitForLine("dravbridge: listening on port ");
  ASSERT_NE("", port) << host.stop().err;
  const std::string base = "http://127.0.0.1:" + port;
  EXPECT_EQ(base + "/from-file", host.waitForLine("dravbridge: bridge " + folder.file("libprobe.so") + " at "));
  EXPECT_EQ(base + "/s", host.waitForLine("dravbridge: sample bridge at "));
  const ProgramResult call = dravcall(base + "/from-file", "look");
  EXPECT_EQ("0 String \"probed at /from-file\"\n1 Bool false\nstatus 0 \"no error detected\" (probe, look)\n",
            call.out)
      << call.err;
  // A name in the file replaces the one the plugin's file gives.
  EXPECT_EQ(3, dravcall(base + "/kv", "look").exitCode);
  const ProgramResult named = runProgram(DRAVCALL_PROGRAM, {base + "/kv", "kv", "look"}, 60s);
  EXPECT_EQ(0, named.exitCode) << named.err;
}

// A plugin of the configuration file that does not load is named where the
// file names it, as given and as resolved, with the name likely meant.
TEST(DravbridgePlugins, APluginOfTheFileThatDoesNotLoadIsNamedWithItsLineAndPath) {
  TempFolder folder;
  const std::string file = folder.file("bridge.toml");
  const auto refusal = [&](const std::string& plugin) {
    std::ofstream(file) << "[[bridge]]\npath = \"/s\"\nplugin = \"sample\"\n\n[[bridge]]\npath = \"/kv\"\nplugin = \""
                        << plugin << "\"\n";
    const ProgramResult run = runProgram(DRAVBRIDGE_PROGRAM, {"--port", "0", "--config", file}, 10s);
    EXPECT_EQ(2, run.exitCode) << plugin;
    EXPECT_EQ("", run.out);
    return run.err;
  };
  EXPECT_EQ("dravbridge: " + file + ":7: plugin \"sampel\" in [[bridge]] (taken from the file's folder: " +
                folder.file("sampel") + "): cannot load bridge plugin '" + folder.file("sampel") +
                "': No such file or directory (did you mean \"sample\"?)\n",
            refusal("sampel"));
  EXPECT_EQ("dravbridge: " + file + ":7: plugin \"lib/libkv.so\" in [[bridge]] (taken from the file's folder: " +
                folder.file("lib/libkv.so") + "): cannot load bridge plugin '" + folder.file("lib/libkv.so") +
                "': No such file or directory\n",
            refusal("lib/libkv.so"));
  // A name without its ".so", where the file with it is.
  std::ofstream(folder.file("libinventory.so")) << "not loaded";
  EXPECT_EQ("dravbridge: " + file + ":7: plugin \"libinventory\" in [[bridge]] (taken from the file's folder: " +
                folder.file("libinventory") + "): cannot load bridge plugin '" + folder.file("libinventory") +
                "': No such file or directory (did you mean \"libinventory.so\"?)\n",
            refusal("libinventory"));
  const std::string undefined = kPlugins + "/libprobe_undefined.so";
  EXPECT_EQ("dravbridge: " + file + ":7: plugin \"" + undefined + "\" in [[bridge]]: cannot load bridge plugin '" +
                undefined + "': it needs notDefinedAnywhere() (_Z18notDefinedAnywherev), which nothing loaded defines: "
                "it was built against another version of a library, or a definition is missing from it (needed by " +
                undefined + ")\n",
            refusal(undefined));
}

TEST(DravbridgePlugins, RefusesAPluginItCannotLoadWithTheFileAndTheReason) {
  TempFolder folder;
  std::ofstream(folder.file("text.so")) << "INPUT(libgreeter.so.1)\n";  // a linker script
  std::ofstream(folder.file("binary.so")) << std::string("\x7f" "EL\x01\x02", 5);
  std::ofstream(folder.file("empty.so"));
  std::ofstream(folder.file("plugin")) << "x";
  const std::string failed = "dravbridge: cannot load bridge plugin '";
  const struct {
    std::string file;
    std::string reason;
  } cases[] = {
      {folder.file("none.so"), "No such file or directory"},
      {folder.path(), "not a regular file"},
      {folder.file("plugin"), "a plugin is a shared object named NAME.so"},
      {folder.file("text.so"), "not a shared object: it holds text"},
      {folder.file("binary.so"), "not a shared object: it does not start with an ELF header"},
      {folder.file("empty.so"), "not a shared object: it is empty"},
      {kPlugins + "/libprobe_undefined.so",
       "it needs notDefinedAnywhere() (_Z18notDefinedAnywherev), which nothing loaded defines: it was built against "
       "another version of a library, or a definition is missing from it (needed by " +
           kPlugins + "/libprobe_undefined.so)"},
      {DRAV_LIBRARY_FILE,
       "it exports no dravBridgePlugin entry point (see DRAV_BRIDGE_PLUGIN in <drav/host/bridge_plugin.h>)"},
      {kPlugins + "/libprobe_other_abi.so",
       "it was built for bridge plugin ABI 4, this host loads ABI 3; rebuild it against this dravCommon"},
      {kPlugins + "/libprobe_null.so", "its entry point made no bridge"},
      {kPlugins + "/libprobe_throws.so", "its entry point failed: the probe has no settings"},
  };
  for (const auto& c : cases) {
    const ProgramResult run =
        runProgram(DRAVBRIDGE_PROGRAM, {"--port", "0", "--bridge", kProbe, "--bridge", c.file}, 10s);
    EXPECT_EQ(2, run.exitCode) << c.file;
    EXPECT_EQ(failed + c.file + "': " + c.reason + "\n", run.err);
    EXPECT_EQ("", run.out);
  }
}

// The demangled form of a name a few hundred bytes long can double with each
// nested type that names the one before: the refusal must still come at
// once and stay short, not spell out 2^40 parameters (killed after 10 s,
// about half a gigabyte in, if it tries).
TEST(DravbridgePlugins, AnUndefinedNameWhoseSpelledOutFormExplodesIsRefusedAtOnce) {
  const std::string plugin = kPlugins + "/libprobe_undefined_doubling.so";
  const ProgramResult run = runProgram(DRAVBRIDGE_PROGRAM, {"--port", "0", "--bridge", plugin}, 10s);
  EXPECT_EQ(2, run.exitCode);
  EXPECT_NE(std::string::npos, run.err.find("which nothing loaded defines")) << run.err.substr(0, 300);
  EXPECT_LT(run.err.size(), 4096u);
}

}  // namespace
}  // namespace e2e

#endif
