// Builds against the installed headers alone and round-trips one value.
#include <drav/dravCommon.h>

#include <cstdio>

int main() {
  DRAVDataOutputStream out;
  out.writeString("installed");
  DRAVDataInputStream in(out.getBuffer(0), out.size());
  std::string text;
  in.readString(text);
  std::printf("consumer: %s\n", text.c_str());
  return text == "installed" ? 0 : 1;
}
