// Exceptions that cross the boundary of the shared library (dravCommon.dll,
// libdravCommon.so): one of each family thrown inside the library and caught
// here by its own type, and one thrown here that unwinds through library
// frames. This program links the shared library, not the static archive.
//
// On 32-bit Windows exceptions unwind with DWARF-2 tables, and they only
// cross a DLL boundary when both sides share the GCC run-time DLL: with a
// static copy on either side the first of these aborts the program.
#include <drav/dravCommon.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

TEST(ExceptionsFromTheLibrary, TheLibrarysOwnExceptionIsCaughtByTypeWithItsText) {
  const DRAVVar text("not a number");
  try {
    text.getLong();
    FAIL() << "a text read as a long was accepted";
  } catch (const DRAVException& e) {
    EXPECT_STREQ(e.what(), "wrong argument type : Integer/Long/Short expected");
  }
}

TEST(ExceptionsFromTheLibrary, AStandardExceptionIsCaughtByTypeAndThroughItsBase) {
  DRAVArgs args;
  args.addArg(1L);
  try {
    args.updateArg(1);
    FAIL() << "an index past the end was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "invalid argument index");
  }
  EXPECT_THROW(args.updateArg(5), std::exception);
}

TEST(ExceptionsFromTheLibrary, TheCompressionExceptionIsCaughtByType) {
  const std::string stored = "[DRAV_Z=5]not a zlib stream";
  try {
    DRAVCompression::DRAVUncompressedData plain(reinterpret_cast<const unsigned char*>(stored.data()),
                                                static_cast<unsigned long>(stored.size()), true);
    FAIL() << "a damaged payload was decompressed";
  } catch (const DRAVCompression::DRAVCompressionException& e) {
    EXPECT_STREQ(e.what(), "ERROR during data uncompression : Z_DATA_ERROR");
  }
}

TEST(ExceptionsFromTheLibrary, ATransportExceptionCarriesItsCodeAcross) {
  // Nothing listens on port 1: the download's send fails inside the library.
  DRAVBridgeProxy proxy("b", Url("http://127.0.0.1:1/x"), AuthInfo());
  DRAVHttpRequest request(&proxy);
  std::vector<unsigned char> data;
  try {
    request.downloadResource("http://127.0.0.1:1/resource", data);
    FAIL() << "a download from a closed port succeeded";
  } catch (const HttpPostDataException& e) {
    // The fixed text, then where and why.
    EXPECT_EQ(std::string(e.what()).rfind("HTTP Request Send failed: 127.0.0.1:1: ", 0), 0u) << e.what();
    EXPECT_EQ(e.getErrorCode(), static_cast<unsigned long>(ERROR_INTERNET_CANNOT_CONNECT));
  }
  EXPECT_TRUE(data.empty());
}

TEST(ExceptionsFromTheLibrary, AThrownHresultIsCaughtAsTheValue) {
  ComHelpers::BinarySafeArrayWrapper empty;
  try {
    empty.GetAt(0);
    FAIL() << "an element of an empty wrapper was handed out";
  } catch (HRESULT hr) {
    EXPECT_EQ(hr, E_INVALIDARG);
  }
  ComHelpers::BinarySafeArrayWrapper three(3, 0);
  try {
    three.GetAt(3);
    FAIL() << "an index past the end was accepted";
  } catch (HRESULT hr) {
    EXPECT_EQ(hr, DISP_E_BADINDEX);
  }
}

// A sink of this program that fails after a few bytes: its exception
// leaves through the library's writer and is caught here.
class FailingSink : public DRAVOutputStream {
public:
  unsigned long size() const override { return held_; }
  void write(char) override { take(1); }
  void write(const char*, unsigned long length) override { take(length); }

private:
  void take(unsigned long length) {
    if (held_ + length > 6) throw std::length_error("sink full after " + std::to_string(held_) + " bytes");
    held_ += length;
  }
  unsigned long held_ = 0;
};

TEST(ExceptionsThroughTheLibrary, AProgramsExceptionUnwindsThroughTheLibraryAndIsCaughtHere) {
  DRAVArgs args;
  args.addArg(std::string("a text longer than the sink takes"));
  FailingSink sink;
  try {
    args.writeObject(sink);
    FAIL() << "the sink's failure was lost";
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), "sink full after 6 bytes");
  }
  // The library is still usable after the unwind.
  DRAVDataOutputStream out;
  args.writeObject(out);
  EXPECT_GT(out.size(), 6u);
}

}  // namespace
