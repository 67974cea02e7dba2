#include "codepage.h"
#include "odbcdb.h"

#include <gtest/gtest.h>

#include <clocale>
#include <random>

using tarvex::CodePage;

namespace {

const CodePage kGbk = CodePage::Named("GBK");
const CodePage kUtf8 = CodePage::Named("UTF-8");
const CodePage kGb18030 = CodePage::Named("GB18030");

// "数据" in GBK is CA FD BE DD; "中" is D6 D0.
const std::string kGbkShuJu = "\xCA\xFD\xBE\xDD";
// A GBK character whose trail byte is ']' (0x5D) and one whose trail byte is '[' (0x5B).
const std::string kGbkTrailBracketClose = "\x81\x5D";
const std::string kGbkTrailBracketOpen = "\x81\x5B";

std::vector<std::size_t> Steps(const CodePage& cp, std::string_view s) {
    std::vector<std::size_t> out;
    for (std::size_t pos = 0; pos < s.size();) {
        const std::size_t n = cp.CharLength(s, pos);
        out.push_back(n);
        pos += n;
    }
    return out;
}

}  // namespace

TEST(CodePageStepping, GbkStepsOverDoubleByteCharacters) {
    EXPECT_EQ(Steps(kGbk, "a" + kGbkShuJu + "b"), (std::vector<std::size_t>{1, 2, 2, 1}));
    // The trail bytes 0x5B and 0x5D look like brackets but belong to their lead byte.
    EXPECT_EQ(Steps(kGbk, kGbkTrailBracketOpen + kGbkTrailBracketClose + "]"),
              (std::vector<std::size_t>{2, 2, 1}));
    // Full-width blank A1 A1 is one character.
    EXPECT_EQ(Steps(kGbk, "\xA1\xA1 "), (std::vector<std::size_t>{2, 1}));
}

TEST(CodePageStepping, GbkMalformedInputStepsOneByteAndNeverPastTheEnd) {
    EXPECT_EQ(Steps(kGbk, "\xCA"), (std::vector<std::size_t>{1}));          // truncated at the end
    EXPECT_EQ(Steps(kGbk, "\xCA'"), (std::vector<std::size_t>{1, 1}));      // an apostrophe is no trail byte
    EXPECT_EQ(Steps(kGbk, "\x80\xFF"), (std::vector<std::size_t>{1, 1}));   // no lead bytes
    EXPECT_EQ(Steps(kGbk, "\xCA\x7F"), (std::vector<std::size_t>{1, 1}));   // 0x7F is no trail byte
    EXPECT_EQ(kGbk.CharLength("ab", 2), 0u);
    EXPECT_EQ(kGbk.CharLength("ab", 7), 0u);
}

// Each bound of GBK's lead bytes (0x81..0xFE) against each bound of its trail bytes (0x40..0x7E,
// 0x80..0xFE), one byte either side of each. A pair that is one character keeps a bracket after
// it a bracket: with the bound 0xFE lost, 剥 (B0 FE) would end after B0, and FE would take the ']'.
TEST(CodePageStepping, GbkLeadAndTrailBytesAtTheirBounds) {
    struct Bound {
        unsigned char byte;
        bool in;
    };
    const Bound leads[] = {{0x80, false}, {0x81, true}, {0xFE, true}, {0xFF, false}};
    const Bound trails[] = {{0x3F, false}, {0x40, true},  {0x7E, true}, {0x7F, false},
                            {0x80, true},  {0xFE, true}, {0xFF, false}};
    for (const Bound lead : leads) {
        for (const Bound trail : trails) {
            const std::string pair{static_cast<char>(lead.byte), static_cast<char>(trail.byte)};
            SCOPED_TRACE(testing::Message() << std::hex << "lead 0x" << +lead.byte << ", trail 0x" << +trail.byte);
            const bool character = lead.in && trail.in;
            EXPECT_EQ(kGbk.CharLength(pair + "]", 0), character ? 2u : 1u);
            if (character) {
                EXPECT_EQ(tarvex::RewriteBrackets("[" + pair + "]", '"', kGbk), "\"" + pair + "\"");
            }
        }
    }
    EXPECT_EQ(tarvex::RewriteBrackets(kGbk.FromUtf8("[剥]"), '"', kGbk), kGbk.FromUtf8("\"剥\""));
}

TEST(CodePageStepping, Utf8StepsOverWholeSequences) {
    EXPECT_EQ(Steps(kUtf8, "a\xE6\x95\xB0\xF0\x9F\x98\x80\xC3\xA9"), (std::vector<std::size_t>{1, 3, 4, 2}));
}

TEST(CodePageStepping, Utf8MalformedInputStepsOneByte) {
    EXPECT_EQ(Steps(kUtf8, "\xE6\x95"), (std::vector<std::size_t>{1, 1}));           // truncated
    EXPECT_EQ(Steps(kUtf8, "\xC0\xAF"), (std::vector<std::size_t>{1, 1}));           // overlong
    EXPECT_EQ(Steps(kUtf8, "\xED\xA0\x80"), (std::vector<std::size_t>{1, 1, 1}));    // surrogate
    EXPECT_EQ(Steps(kUtf8, "\xE6]\x80"), (std::vector<std::size_t>{1, 1, 1}));       // bracket breaks it
    EXPECT_EQ(Steps(kUtf8, "\xF5\x80\x80\x80"), (std::vector<std::size_t>{1, 1, 1, 1}));
}

TEST(CodePageStepping, Gb18030FourByteSequences) {
    // U+00C0 is not in GBK; GB18030 holds it as the four bytes 81 30 86 38.
    const std::string e = kGb18030.FromUtf8("\xC3\x80");
    EXPECT_EQ(e, "\x81\x30\x86\x38");
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(Steps(kGb18030, e + kGbkShuJu), (std::vector<std::size_t>{4, 2, 2}));
    EXPECT_EQ(Steps(kGb18030, "\x81\x30\x81"), (std::vector<std::size_t>{1, 1, 1}));
}

TEST(CodePageConversion, Gb18030FourByteCharactersBothWays) {
    // U+00C0 from the Basic Multilingual Plane, U+1F600 from beyond it.
    EXPECT_EQ(kGb18030.FromUtf16(u"a\u00C0\U0001F600\u6570"), "a\x81\x30\x86\x38\x94\x39\xFC\x36\xCA\xFD");
    EXPECT_EQ(kGb18030.ToUtf16("a\x81\x30\x86\x38\x94\x39\xFC\x36\xCA\xFD"), u"a\u00C0\U0001F600\u6570");
    EXPECT_EQ(kGb18030.ToUtf8("\x94\x39\xFC\x36"), "\xF0\x9F\x98\x80");
}

TEST(CodePageConversion, GbkRoundTripsThroughUtf16AndUtf8) {
    const std::string utf8 = "2016\xE5\xB9\xB4\xE4\xB9\xA1\xE9\x95\x87\xE6\x95\xB0\xE6\x8D\xAE\xE9\x87\x87\xE9\x9B\x86";
    const std::string gbk = kGbk.FromUtf8(utf8);
    EXPECT_EQ(gbk.size(), 4u + 2 * 7);
    EXPECT_EQ(kGbk.ToUtf8(gbk), utf8);
    EXPECT_EQ(kGbk.FromUtf16(kGbk.ToUtf16(gbk)), gbk);
    EXPECT_EQ(kGbk.ToUtf16(kGbkShuJu), u"\u6570\u636E");
    EXPECT_EQ(kGbk.ToUtf16("\xA1\xA1"), u"\u3000");
}

TEST(CodePageConversion, Utf8RoundTripsIncludingAstralCharacters) {
    const std::u16string text = u"a\u6570\U0001F600";
    EXPECT_EQ(kUtf8.ToUtf16(kUtf8.FromUtf16(text)), text);
}

TEST(CodePageConversion, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(kGbk.ToUtf16("a\xCA"), u"a\uFFFD");
    EXPECT_EQ(kGbk.ToUtf16("\xCA'b"), u"\uFFFD'b");
    EXPECT_EQ(kUtf8.ToUtf16("x\xE6\x95y"), u"x\uFFFD\uFFFDy");
    EXPECT_EQ(kUtf8.ToUtf8("\xFF"), "\xEF\xBF\xBD");
}

TEST(CodePageConversion, UnrepresentableCharactersBecomeQuestionMarks) {
    EXPECT_EQ(kGbk.FromUtf16(u"a\U0001F600b"), "a?b");
    EXPECT_EQ(kGbk.FromUtf16(u"\xD800z"), "?z");  // a lone surrogate
    EXPECT_EQ(CodePage::Named("ISO-8859-1").FromUtf8("\xE6\x95\xB0"), "?");
}

TEST(CodePageConversion, RandomBytesNeverCrashOrOverrun) {
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        std::string s(rng() % 12, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        for (const CodePage* cp : {&kGbk, &kUtf8, &kGb18030}) {
            std::size_t total = 0;
            for (std::size_t n : Steps(*cp, s)) total += n;
            EXPECT_EQ(total, s.size());
            (void)cp->ToUtf16(s);
            (void)cp->ToUtf8(s);
            (void)cp->FromUtf8(s);
        }
    }
}

#ifdef _WIN32
// On Windows the code page of the process is the system's ANSI code page; the tests run under
// wine in zh_CN.GBK, which makes it 936.
TEST(CodePageProcess, IsTheSystemsAnsiCodePageWith936AsGbk) {
    EXPECT_EQ(CodePage::Process().GetKind(), CodePage::Kind::DoubleByte);
    EXPECT_EQ(CodePage::Process().Name(), "GBK");
}
#else
TEST(CodePageProcess, FollowsTheLocaleAndTakesCAsUtf8) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(CodePage::Process().GetKind(), CodePage::Kind::Utf8);
    if (std::setlocale(LC_ALL, "zh_CN.GBK")) {
        EXPECT_EQ(CodePage::Process().GetKind(), CodePage::Kind::DoubleByte);
        EXPECT_EQ(CodePage::Process().Name(), "GBK");
    } else {
        ADD_FAILURE() << "zh_CN.GBK is not generated; scripts/setup generates it";
    }
    std::setlocale(LC_ALL, saved.c_str());
}
#endif
