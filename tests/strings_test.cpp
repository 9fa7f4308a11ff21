#include "launcher/strings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/test_support.h"

namespace {

TEST(NarrowStringTest, CopiesAreIndependentValues) {
  NarrowString original = "C:\\Games";
  NarrowString copy = original;
  copy.data()[0] = 'D';
  EXPECT_STREQ(original.c_str(), "C:\\Games");
  EXPECT_STREQ(copy.c_str(), "D:\\Games");
}

TEST(NarrowStringTest, JoiningKeepsEmbeddedNulsAndTerminates) {
  NarrowString joined = NarrowString("a\0b", 3) + "cd";
  ASSERT_EQ(joined.length(), 5);
  EXPECT_EQ(std::string(joined.c_str(), 6), std::string("a\0bcd\0", 6));
  EXPECT_TRUE(NarrowString(nullptr).empty());
}

TEST(NarrowStringTest, LengthsUpToSigned32BitsAreJoinable) {
  EXPECT_EQ(JoinedLength(0x7FFFFFFF, 0), 0x7FFFFFFF);
  EXPECT_EQ(JoinedLength(0x40000000, 0x3FFFFFFF), 0x7FFFFFFF);
}

// A failed string operation ends its process at once with the HRESULT as the
// exit code, which the parent reads with GetExitCodeProcess. Each row runs
// the product's own string code in a child process.
struct StringFailure {
  const char* what;
  void (*operation)();
  HRESULT code;
  const char* said = "";  // What the operation wrote to stderr before it failed.
};

TEST(StringFailureDeathTest, EndsTheProcessWithItsHresult) {
  const StringFailure rows[] = {
      {"join past INT32_MAX", [] { JoinedLength(0x7FFFFFFF, 1); }, E_INVALIDARG},
      {"join of two 1 GiB lengths", [] { JoinedLength(0x40000000, 0x40000000); }, E_INVALIDARG},
      {"join of SIZE_MAX lengths", [] { JoinedLength(SIZE_MAX, SIZE_MAX); }, E_INVALIDARG},
      // Rejected before a single byte is read from the source.
      {"copy past INT32_MAX", [] { NarrowString("x", 0x80000000u); }, E_INVALIDARG},
      {"resize past INT32_MAX", [] { NarrowString().resize(0x80000000u); }, E_INVALIDARG},
      // Refused allocations: a 32-bit process cannot hold the 2 GiB string, a
      // 64-bit one then cannot have its 4 GiB wide copy.
      {"refused allocation",
       [] {
         NarrowString big;
         big.resize(0x7FFFFFFF);
         ToWide(big);
       },
       E_OUTOFMEMORY},
      // No heap cannot be provoked; the failure it raises can.
      {"missing heap", [] { RaiseStringError(E_FAIL); }, E_FAIL},
#ifndef _WIN64
      // A 64 MiB string is held (it says so), then the rest of the 2 GiB
      // address space is reserved in 16 MiB blocks: its 128 MiB wide copy
      // cannot be had, and the refusal is ToWide's own.
      {"refused wide copy",
       [] {
         NarrowString held;
         held.resize(0x4000000);
         while (VirtualAlloc(nullptr, 0x1000000, MEM_RESERVE, PAGE_NOACCESS) != nullptr) {
         }
         std::fprintf(stderr, "narrow string held\n");
         ToWide(held);
       },
       E_OUTOFMEMORY, "narrow string held"},
#endif
  };
  for (const StringFailure& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EXIT(row.operation(), ::testing::ExitedWithCode(static_cast<int>(row.code)), row.said);
  }
}

TEST(ToNarrowTest, NullAndEmptyGiveEmpty) {
  EXPECT_TRUE(ToNarrow(nullptr).empty());
  EXPECT_TRUE(ToNarrow(L"").empty());
}

TEST(ToNarrowTest, ConvertsInTheThreadCodePage) {
  const wchar_t hangul[] = L"\uC624\uBE48";
  {
    ThreadCodePage korean(kKorean);
    NarrowString narrow = ToNarrow(hangul);
    EXPECT_EQ(std::string(narrow.c_str()), "\xBF\xC0\xBA\xF3");
    EXPECT_EQ(narrow.length(), 4);
  }
  {
    // Characters the code page lacks become its default character, silently.
    ThreadCodePage english(kEnglish);
    EXPECT_EQ(std::string(ToNarrow(hangul).c_str()), "??");
  }
}

TEST(ToWideTest, ProducesLengthCountedBstr) {
  ThreadCodePage korean(kKorean);
  WideString wide = ToWide(NarrowString("\xBF\xC0 x\\y", 6));
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(SysStringLen(wide.get()), 5u);
  EXPECT_EQ(std::wstring(wide.get()), L"\uC624 x\\y");

  WideString empty = ToWide(NarrowString());
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty.get()), 0u);
}

TEST(ToWideTest, ConvertsEmbeddedNulsByLengthNotByTerminator) {
  WideString wide = ToWide(NarrowString("a\0b", 3));
  ASSERT_EQ(SysStringLen(wide.get()), 3u);
  EXPECT_EQ(wide.get()[2], L'b');
}

}  // namespace
