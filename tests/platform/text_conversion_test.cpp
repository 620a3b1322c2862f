// Text crosses into the notification platform through these conversions, so a
// job id with broken bytes must still give a usable tag, never a throw or a
// truncated text.
#include "platform/text_conversion.h"

#include <gtest/gtest.h>

#include "support/platform_guard.h"

namespace activator {
namespace {

TEST(TextConversionTest, WellFormedTextRoundTripsIncludingNonBmpAndNul) {
  const std::string utf8 =
      std::string("J1 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", 12) + std::string("\0z", 2);
  const std::u16string utf16 =
      std::u16string(u"J1 \u00e9\u20ac\xD83D\xDE00") + std::u16string(u"\0z", 2);
  EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
  EXPECT_EQ(Utf8ToUtf16("\xf4\x8f\xbf\xbf"), u"\xDBFF\xDFFF");  // U+10FFFF, the last code point
  EXPECT_EQ(Utf8ToUtf16(""), u"");
  EXPECT_EQ(Utf16ToUtf8(u""), "");
}

TEST(TextConversionTest, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart) {
  struct Case {
    const char* bytes;
    std::u16string expected;
  };
  const Case cases[] = {
      {"\x80", u"\uFFFD"},            // lone continuation byte
      {"\xff\xfe", u"\uFFFD\uFFFD"},  // bytes that never occur
      {"\xc0\xaf", u"\uFFFD\uFFFD"},  // overlong '/'
      {"\xf5\x80", u"\uFFFD\uFFFD"},
      {"\xe2\x82", u"\uFFFD"},  // truncated at the end
      {"\xe2\x82"
       "A",
       u"\uFFFDA"},  // cut short by an ASCII byte
      {"\xf0\x9f\x98"
       "x",
       u"\uFFFDx"},                       // truncated non-BMP character
      {"\xc3\xc3\xa9", u"\uFFFD\u00e9"},  // a lead byte restarts the sequence
      // The standard's own example of maximal subparts.
      {"a\xf1\x80\x80\xe1\x80\xc2"
       "b\x80"
       "c\x80\xbf"
       "d",
       u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToUtf16(c.bytes), c.expected) << "input: " << c.bytes;

  // Forms whose second byte is out of range. On Windows the system decides
  // these, and wine, where the Windows port is tested, counts them otherwise
  // than Windows does.
  if (testing::kWindowsPort) return;
  const Case second_byte_out_of_range[] = {
      {"\xe0\x80\xaf", u"\uFFFD\uFFFD\uFFFD"},  // overlong three-byte form
      {"\xf0\x80\x80\xaf", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate U+D800
      {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
  };
  for (const auto& c : second_byte_out_of_range)
    EXPECT_EQ(Utf8ToUtf16(c.bytes), c.expected) << "input: " << c.bytes;
}

TEST(TextConversionTest, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::string fffd = "\xef\xbf\xbd";
  EXPECT_EQ(Utf16ToUtf8(u"a\xD800"), "a" + fffd);  // high at the end
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00"
                        "b"),
            fffd + "b");  // low alone
  EXPECT_EQ(Utf16ToUtf8(u"\xD800"
                        "b"),
            fffd + "b");                                 // high before a non-surrogate
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00\xD800"), fffd + fffd);  // reversed pair
  EXPECT_EQ(Utf16ToUtf8(u"\xD800\xD800\xDC00"), fffd + "\xf0\x90\x80\x80");
}

}  // namespace
}  // namespace activator
