// Builds against the installed headers alone, round-trips one value, and
// catches an exception the library throws (on 32-bit Windows it reaches
// this program only through the GCC run-time DLLs installed with the library).
#include <drav/dravCommon.h>

#include <cstdio>

int main() {
  DRAVDataOutputStream out;
  out.writeString("installed");
  DRAVDataInputStream in(out.getBuffer(0), out.size());
  std::string text;
  in.readString(text);
  std::printf("consumer: %s\n", text.c_str());
  try {
    DRAVVar(text).getLong();
    std::printf("consumer: a text was read as a long\n");
    return 1;
  } catch (const DRAVException& e) {
    std::printf("consumer: caught \"%s\"\n", e.what());
  }
  return text == "installed" ? 0 : 1;
}
