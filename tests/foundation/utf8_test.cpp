// The foundation's byte rules in a program whose ANSI code page is UTF-8
// (65001): no byte is a lead byte, and paths split byte by byte.
#include <gtest/gtest.h>

#include <string>

#include "foundation/process_info.h"
#include "foundation/string.h"
#include "foundation/win32.h"

namespace {

std::string Str(const TQZString& s) {
  return std::string(s.Text(), static_cast<size_t>(s.Length()));
}

// "C:\Dienste\Überwachung 監視 ソ\svc.exe"; U+30BD is the Shift-JIS
// character whose second byte is a backslash.
const char kFolder[] =
    "C:\\Dienste\\\xC3\x9C" "berwachung \xE7\x9B\xA3\xE8\xA6\x96 \xE3\x82\xBD\\";
const char kFile[] = "svc.exe";

class TQZStringUtf8Test : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(65001u, GetACP()) << "the manifest's code page is not in force"; }
};

TEST_F(TQZStringUtf8Test, NoByteIsALeadByteSoEveryPositionIsSingle) {
  EXPECT_FALSE(IsDoubleByteSystem());
  std::string every;
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    EXPECT_FALSE(IsDBCSLeadByte(static_cast<BYTE>(byte))) << byte;
    every += static_cast<char>(byte);
    every += '\\';
  }
  const TQZString s = MakeString(every.data(), static_cast<int32_t>(every.size()));
  for (int32_t pos = 1; pos <= s.Length(); ++pos) {
    EXPECT_EQ(0, StringByteKind(s, pos)) << pos;
    EXPECT_EQ(0, ByteKind(s.Text(), pos)) << pos;
  }
}

TEST_F(TQZStringUtf8Test, PathsSplitAtTheirOwnBackslashesAndQuoteForTheirBlanks) {
  const TQZString path = TQZString(kFolder) + kFile;
  EXPECT_EQ(kFolder, Str(PathPart(path)));
  EXPECT_EQ(static_cast<int32_t>(sizeof kFolder - 1), FindLastDelimiter("\\:", path));
  EXPECT_TRUE(ContainsBlank(path));
  // The bytes of a multi-byte sequence are 0x80 and above, never blanks.
  EXPECT_FALSE(ContainsBlank("C:\\\xC3\x9C" "berwachung\xE7\x9B\xA3\xE8\xA6\x96\\svc.exe"));
}

TEST_F(TQZStringUtf8Test, FormatCopiesTheBytesAndWidthsCountBytes) {
  TQZString s;
  s.Format("<%s>", kFolder);
  EXPECT_EQ(std::string("<") + kFolder + ">", Str(s));
  // "Ü" is two bytes: a width of 4 pads it with two blanks.
  s.Format("%-4s|", "\xC3\x9C");
  EXPECT_EQ("\xC3\x9C  |", Str(s));
}

TEST_F(TQZStringUtf8Test, ModuleFileNameIsTheUtf8FormOfTheWidePath) {
  wchar_t wide[4096];
  const DWORD count = GetModuleFileNameW(nullptr, wide, 4096);
  ASSERT_GT(count, 0u);
  char utf8[3 * 4096];
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(count), utf8, sizeof utf8, nullptr, nullptr);
  ASSERT_GT(bytes, 0);
  EXPECT_EQ(std::string(utf8, static_cast<size_t>(bytes)), Str(ModuleFileName));
}

}  // namespace
