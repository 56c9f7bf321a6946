// kernel32 behaviour as documented for Windows; the same file runs against
// the real DLLs when built for Windows.
#include <drav/platform/win32.h>

#include "support/wine_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using Units = std::vector<WCHAR>;
using Bytes = std::string;

// --- Last error ----------------------------------------------------------------

TEST(LastError, EachThreadKeepsItsOwnCode) {
  // Starting or joining a thread may itself clear the caller's code (on
  // Windows the thread library's TlsGetValue does), so both codes are set and
  // read while both threads run, handing over through atomics alone.
  std::atomic<int> step{0};
  DWORD seenByOther = 1;
  std::thread other([&] {
    while (step.load() != 1) std::this_thread::yield();
    seenByOther = GetLastError();
    SetLastError(ERROR_INVALID_HANDLE);
    step.store(2);
  });
  SetLastError(ERROR_ACCESS_DENIED);
  step.store(1);
  while (step.load() != 2) std::this_thread::yield();
  const DWORD mine = GetLastError();
  other.join();
  EXPECT_EQ(seenByOther, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(mine, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// --- Critical sections -------------------------------------------------------

TEST(CriticalSection, OwnerMayEnterAgainAndOthersWaitUntilEveryEnterIsLeft) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  auto otherCanEnter = [&] {
    BOOL entered = FALSE;
    std::thread t([&] {
      entered = TryEnterCriticalSection(&cs);
      if (entered) LeaveCriticalSection(&cs);
    });
    t.join();
    return entered != FALSE;
  };
  EXPECT_FALSE(otherCanEnter());
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(otherCanEnter());
  LeaveCriticalSection(&cs);
  EXPECT_TRUE(otherCanEnter());
  DeleteCriticalSection(&cs);
}

TEST(CriticalSection, GuardsACounterAgainstConcurrentIncrements) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  long counter = 0;  // deliberately not atomic: the section must protect it
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      EnterCriticalSection(&cs);
      ++counter;
      LeaveCriticalSection(&cs);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
  DeleteCriticalSection(&cs);
}

// --- MultiByteToWideChar -------------------------------------------------------

struct ToWideCase {
  const char* name;
  Bytes input;
  DWORD flags;
  Units expected;    // when it succeeds
  DWORD error;       // ERROR_SUCCESS when it succeeds
};

TEST(MultiByteToWideChar, ConvertsUtf8AndReportsInvalidInputAsDocumented) {
  const ToWideCase cases[] = {
      {"ascii", "abc", 0, {0x61, 0x62, 0x63}, ERROR_SUCCESS},
      {"two- and three-byte", "\xC3\xA9\xE2\x82\xAC", 0, {0x00E9, 0x20AC}, ERROR_SUCCESS},
      {"outside the BMP gives a pair", "\xF0\x9F\x98\x80", 0, {0xD83D, 0xDE00}, ERROR_SUCCESS},
      {"embedded NUL is kept", Bytes("a\0b", 3), 0, {0x61, 0x00, 0x62}, ERROR_SUCCESS},
      {"invalid byte is replaced", "a\xFF" "b", 0, {0x61, 0xFFFD, 0x62}, ERROR_SUCCESS},
      {"invalid byte is refused", "a\xFF" "b", MB_ERR_INVALID_CHARS, {}, ERROR_NO_UNICODE_TRANSLATION},
      {"overlong is refused", "\xC0\x80", MB_ERR_INVALID_CHARS, {}, ERROR_NO_UNICODE_TRANSLATION},
      {"encoded surrogate is refused", "\xED\xA0\x80", MB_ERR_INVALID_CHARS, {}, ERROR_NO_UNICODE_TRANSLATION},
      {"truncated sequence is refused", "a\xE2\x82", MB_ERR_INVALID_CHARS, {}, ERROR_NO_UNICODE_TRANSLATION},
      {"beyond U+10FFFF is refused", "\xF4\x90\x80\x80", MB_ERR_INVALID_CHARS, {}, ERROR_NO_UNICODE_TRANSLATION},
      {"UTF-8 accepts no other flag", "abc", MB_PRECOMPOSED, {}, ERROR_INVALID_FLAGS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Wine converts UTF-8 whatever the flags; Windows documents the refusal.
    if (c.error == ERROR_INVALID_FLAGS && dravtest::runningUnderWine()) continue;
    WCHAR out[16] = {};
    SetLastError(ERROR_SUCCESS);
    const int n = MultiByteToWideChar(CP_UTF8, c.flags, c.input.data(), static_cast<int>(c.input.size()), out, 16);
    if (c.error == ERROR_SUCCESS) {
      EXPECT_EQ(Units(out, out + n), c.expected);
      // The size query agrees with the conversion.
      EXPECT_EQ(MultiByteToWideChar(CP_UTF8, c.flags, c.input.data(), static_cast<int>(c.input.size()), nullptr, 0), n);
    } else {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
}

TEST(MultiByteToWideChar, MinusOneLengthIncludesTheTerminator) {
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", -1, nullptr, 0), 3);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\0b", -1, nullptr, 0), 1) << "an empty text is its terminator";
  const WCHAR emptyFirst[] = {0, 0x62, 0};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, emptyFirst, -1, nullptr, 0, nullptr, nullptr), 1);
  WCHAR out[3] = {1, 1, 1};
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", -1, out, 3), 3);
  EXPECT_EQ(Units(out, out + 3), (Units{0x68, 0xE9, 0}));
}

TEST(MultiByteToWideChar, TooSmallBufferAndBadArgumentsFail) {
  WCHAR out[2];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, out, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, out, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, out, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Both sides of every edge of the UTF-8 forms: the first and last code point
// of each length, and the second-byte limits that shut out overlong forms,
// surrogates and values beyond U+10FFFF.
TEST(MultiByteToWideChar, EachEdgeOfTheEncodingFallsOnTheRightSide) {
  const struct {
    Bytes input;
    Units expected;  // empty: refused
  } cases[] = {
      {"\x7F", {0x7F}},
      {"\x80", {}},
      {"\xC1\xBF", {}},
      {"\xC2\x80", {0x80}},
      {"\xC2\x7F", {}},
      {"\xC2\xC0", {}},
      {"\xDF\xBF", {0x7FF}},
      {"\xE0\x9F\xBF", {}},
      {"\xE0\xA0\x80", {0x800}},
      {"\xE2\x82\x7F", {}},
      {"\xED\x9F\xBF", {0xD7FF}},
      {"\xEE\x80\x80", {0xE000}},
      {"\xEF\xBF\xBF", {0xFFFF}},
      {"\xF0\x8F\xBF\xBF", {}},
      {"\xF0\x90\x80\x80", {0xD800, 0xDC00}},
      {"\xF0\x9F\x98\x7F", {}},
      {"\xF1\x80\x80\x80", {0xD8C0, 0xDC00}},
      {"\xF3\xBF\xBF\xBF", {0xDBBF, 0xDFFF}},
      {"\xF0\x9F\x98", {}},
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
      {"\xF5\x80\x80\x80", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    WCHAR out[4] = {};
    SetLastError(ERROR_SUCCESS);
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.input.data(), static_cast<int>(c.input.size()),
                                      out, 4);
    EXPECT_EQ(Units(out, out + n), c.expected);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.expected.empty() ? ERROR_NO_UNICODE_TRANSLATION : ERROR_SUCCESS));
  }
  // A sequence cut by the given length is not completed by the bytes after it.
  WCHAR out[4] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xE2\x82\xAC", 3, out, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(MultiByteToWideChar, BufferOfExactlyTheNeededSizeIsEnoughAndBadSizesAreRefused) {
  WCHAR out[3] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, out, 3), 3);
  EXPECT_EQ(Units(out, out + 3), (Units{0x61, 0x62, 0x63}));
  const struct {
    int bytes;
    LPWSTR buffer;
    int capacity;
  } refused[] = {{3, out, -1}, {3, nullptr, 3}};
  for (const auto& r : refused) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", r.bytes, r.buffer, r.capacity), 0) << r.bytes << " " << r.capacity;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << r.bytes << " " << r.capacity;
  }
}

// --- WideCharToMultiByte -------------------------------------------------------

struct ToNarrowCase {
  const char* name;
  Units input;
  DWORD flags;
  Bytes expected;
  DWORD error;
};

TEST(WideCharToMultiByte, ConvertsToUtf8AndReportsUnpairedSurrogatesAsDocumented) {
  const ToNarrowCase cases[] = {
      {"ascii", {0x61, 0x62}, 0, "ab", ERROR_SUCCESS},
      {"BMP characters", {0x00E9, 0x20AC, 0x4E2D}, 0, "\xC3\xA9\xE2\x82\xAC\xE4\xB8\xAD", ERROR_SUCCESS},
      {"surrogate pair", {0xD83D, 0xDE00}, 0, "\xF0\x9F\x98\x80", ERROR_SUCCESS},
      {"embedded NUL is kept", {0x61, 0x00, 0x62}, 0, Bytes("a\0b", 3), ERROR_SUCCESS},
      {"lone high surrogate is replaced", {0xD800, 0x61}, 0, "\xEF\xBF\xBD" "a", ERROR_SUCCESS},
      {"lone low surrogate is replaced", {0x61, 0xDC00}, 0, "a\xEF\xBF\xBD", ERROR_SUCCESS},
      {"lone surrogate is refused", {0xD800}, WC_ERR_INVALID_CHARS, "", ERROR_NO_UNICODE_TRANSLATION},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char out[32] = {};
    SetLastError(ERROR_SUCCESS);
    const int n = WideCharToMultiByte(CP_UTF8, c.flags, c.input.data(), static_cast<int>(c.input.size()), out,
                                      sizeof out, nullptr, nullptr);
    if (c.error == ERROR_SUCCESS) {
      EXPECT_EQ(Bytes(out, n), c.expected);
      EXPECT_EQ(WideCharToMultiByte(CP_UTF8, c.flags, c.input.data(), static_cast<int>(c.input.size()), nullptr, 0,
                                    nullptr, nullptr),
                n);
    } else {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
}

TEST(WideCharToMultiByte, Utf8RefusesADefaultCharacterAndATooSmallBuffer) {
  const WCHAR text[] = {0x61, 0xE9, 0};
  char out[8];
  BOOL usedDefault = FALSE;
  // Wine ignores both default-character arguments for UTF-8; Windows
  // documents ERROR_INVALID_PARAMETER.
  if (!dravtest::runningUnderWine()) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 8, "?", nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 8, nullptr, &usedDefault), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }

  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 4, nullptr, nullptr), 4);
  EXPECT_EQ(Bytes(out, 4), Bytes("a\xC3\xA9\0", 4));
}

TEST(WideCharToMultiByte, EachEdgeOfTheEncodingFallsOnTheRightSide) {
  const struct {
    Units input;
    Bytes expected;  // empty: refused
  } cases[] = {
      {{0x7F}, "\x7F"},
      {{0x80}, "\xC2\x80"},
      {{0x7FF}, "\xDF\xBF"},
      {{0x800}, "\xE0\xA0\x80"},
      {{0xD7FF}, "\xED\x9F\xBF"},
      {{0xE000}, "\xEE\x80\x80"},
      {{0xFFFF}, "\xEF\xBF\xBF"},
      {{0xD800, 0xDC00}, "\xF0\x90\x80\x80"},
      {{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},
      {{0xDBFF, 0xE000}, ""},
      {{0xDFFF}, ""},
      {{0xDC00, 0xD800}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    char out[8] = {};
    SetLastError(ERROR_SUCCESS);
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, c.input.data(), static_cast<int>(c.input.size()),
                                      out, sizeof out, nullptr, nullptr);
    EXPECT_EQ(Bytes(out, n), c.expected);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.expected.empty() ? ERROR_NO_UNICODE_TRANSLATION : ERROR_SUCCESS));
  }
  // Without the flag, each unpaired half becomes U+FFFD and its neighbour survives.
  const Units halves = {0xDBFF, 0xE000, 0xDC00, 0xD800};
  char out[16] = {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, halves.data(), 4, out, sizeof out, nullptr, nullptr);
  EXPECT_EQ(Bytes(out, n), "\xEF\xBF\xBD\xEE\x80\x80\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(WideCharToMultiByte, BufferOfExactlyTheNeededSizeIsEnoughAndBadSizesAreRefused) {
  const WCHAR text[] = {0x61, 0xE9};
  char out[3] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, 2, out, 3, nullptr, nullptr), 3);
  EXPECT_EQ(Bytes(out, 3), "a\xC3\xA9");
  const struct {
    const WCHAR* units;
    int count;
    LPSTR buffer;
    int capacity;
  } refused[] = {{text, 2, out, -1}, {text, 2, nullptr, 3}, {nullptr, 2, out, 3}, {text, 0, out, 3}};
  for (const auto& r : refused) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, r.units, r.count, r.buffer, r.capacity, nullptr, nullptr), 0)
        << r.count << " " << r.capacity;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << r.count << " " << r.capacity;
  }
}

TEST(CodePages, WideLiteralsHoldTheirUnitsWithATerminator) {
  const WCHAR* text = DRAV_W("A\u00e9");
  EXPECT_EQ(Units(text, text + 3), (Units{0x41, 0xE9, 0}));
}

#ifndef _WIN32
// Windows' ANSI code page depends on the system locale; ours is UTF-8.
TEST(CodePages, AnsiCodePageIsUtf8OnTheseHosts) {
  WCHAR wide[4];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xE2\x82\xAC", 3, wide, 4), 1);
  EXPECT_EQ(wide[0], 0x20AC);
  char narrow[4];
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 1, narrow, 4, nullptr, nullptr), 3);
  EXPECT_EQ(Bytes(narrow, 3), "\xE2\x82\xAC");
}

// One U+FFFD for each maximal ill-formed prefix, then decoding goes on at
// the first byte that could not belong to it.
TEST(CodePages, ReplacementStandsForEachIllFormedPrefixOnce) {
  const struct {
    Bytes input;
    Units expected;
  } cases[] = {
      {"\xE2\x82" "A", {0xFFFD, 0x41}},
      {"\xF0\x9F\x98", {0xFFFD}},
      {"\xC0\xAF", {0xFFFD, 0xFFFD}},
      {"\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},
      {"\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},
  };
  for (const auto& c : cases) {
    WCHAR out[8] = {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, c.input.data(), static_cast<int>(c.input.size()), out, 8);
    EXPECT_EQ(Units(out, out + n), c.expected) << testing::PrintToString(c.input);
  }
}

TEST(CodePages, ThreadCodePageIsUtf8AndOthersAreRefused) {
  WCHAR wide[2];
  ASSERT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, "\xC3\xA9", 2, wide, 2), 1);
  EXPECT_EQ(wide[0], 0xE9);
  char narrow[4];
  EXPECT_EQ(WideCharToMultiByte(CP_THREAD_ACP, 0, wide, 1, narrow, 4, nullptr, nullptr), 2);
  for (UINT codePage : {1u, 2u, 1252u, 65000u, 65002u}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(MultiByteToWideChar(codePage, 0, "a", 1, wide, 2), 0) << codePage;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << codePage;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WideCharToMultiByte(codePage, 0, wide, 1, narrow, 4, nullptr, nullptr), 0) << codePage;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << codePage;
  }
  // A length below -1 is refused both ways (Wine reads any negative length as -1).
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ab", -2, wide, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -2, narrow, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // Converting a buffer onto itself is refused both ways.
  char same[4] = "ab";
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, same, 2, reinterpret_cast<LPWSTR>(same), 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<LPCWCH>(same), 1, same, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS | 1, wide, 1, narrow, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}
#endif

// --- Run-time loading ----------------------------------------------------------

#ifdef _WIN32
constexpr const char* kLibrary = "kernel32";
constexpr const char* kExport = "GetTickCount";
#else
constexpr const char* kLibrary = "z";  // libz.so, a dependency of the library
constexpr const char* kExport = "zlibVersion";
#endif

TEST(RunTimeLoading, BareNameAndDllNameFindTheLibraryAndItsExports) {
  for (const std::string& name : {std::string(kLibrary), std::string(kLibrary) + ".dll"}) {
    SCOPED_TRACE(name);
    HMODULE module = LoadLibraryA(name.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_NE(GetProcAddress(module, kExport), nullptr);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetProcAddress(module, "noSuchExportAnywhere"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(module));
  }
}

TEST(RunTimeLoading, WideNameLoadsTheSameLibrary) {
  std::basic_string<WCHAR> wide(kLibrary, kLibrary + std::char_traits<char>::length(kLibrary));
  HMODULE module = LoadLibraryW(wide.c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_NE(GetProcAddress(module, kExport), nullptr);
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(RunTimeLoading, MissingLibraryGivesModuleNotFound) {
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(LoadLibraryA("drav_no_such_library_here"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

#ifndef _WIN32
// Names map to shared objects: ".dll" in any letter case is dropped, any
// other extension is used as given, "lib" and ".so" are added otherwise.
TEST(RunTimeLoading, NamesMapToSharedObjectsAndBadArgumentsGiveTheirCodes) {
  for (const char* name : {"z.DLL", "z.Dll", "libz.so.1"}) {
    HMODULE module = LoadLibraryA(name);
    ASSERT_NE(module, nullptr) << name;
    EXPECT_TRUE(FreeLibrary(module));
  }
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  for (const char* missing : {"", "z.so"}) {  // "z.so" is used as given, and there is none
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibraryA(missing), nullptr) << missing;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << missing;
  }
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  const WCHAR loneHalf[] = {0x7A, 0xD800, 0};
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(LoadLibraryW(loneHalf), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetProcAddress(nullptr, kExport), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HMODULE module = LoadLibraryA(kLibrary);
  ASSERT_NE(module, nullptr);
  for (std::uintptr_t ordinal : {std::uintptr_t(1), std::uintptr_t(0xFFFF)}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(ordinal)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  }
  EXPECT_TRUE(FreeLibrary(module));
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}
#endif

}  // namespace
