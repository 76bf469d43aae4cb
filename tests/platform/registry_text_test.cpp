#include "platform/common/registry_text.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace vt::plat::reg {

void PrintTo(const Problem& p, std::ostream* os) {
    *os << p.line << ": " << p.what;
}

namespace {

using namespace std::literals;

// The key at a backslash-separated path below a hive, made when missing.
Key& keyAt(Tree& tree, RegRoot root, std::u16string_view path) {
    std::vector<std::u16string> names;
    EXPECT_TRUE(splitKeyPath(path, &names));
    Key* k = &tree.hives[hiveIndex(root)];
    for (const auto& n : names) k = k->subKeyOrAdd(n);
    return *k;
}

std::vector<uint8_t> text(std::u16string_view s) {
    return utf16leBytes(s, true);
}

std::string parseAndWrite(std::string_view bytes, std::vector<Problem>* problems) {
    Tree tree;
    parseText(bytes, &tree, problems);
    return toText(tree);
}

// The text that bytes read as, when they read without a problem.
std::string canonical(std::string_view bytes) {
    std::vector<Problem> problems;
    std::string out = parseAndWrite(bytes, &problems);
    for (const auto& p : problems) ADD_FAILURE() << "line " << p.line << ": " << p.what;
    return out;
}

const std::string kHeader = "Windows Registry Editor Version 5.00\n";

TEST(RegistryTextTest, WritesEachKeyAndValueInTheDocumentedForm) {
    Tree tree;
    keyAt(tree, RegRoot::LocalMachine, u"").setValue(u"Installed", kRegDword, dwordBytes(1));
    Key& k = keyAt(tree, RegRoot::CurrentUser, u"Software\\Orvane\\Round \"Trip\"");
    k.setValue(u"Path", kRegSz, text(u"C:\\Notes\\\"quoted\""));
    k.setValue(u"Na\"me\\", kRegSz, text(u"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600"));
    k.setValue(u"", kRegSz, text(u""));
    k.setValue(u"Count", kRegDword, dwordBytes(10));
    k.setValue(u"Lines", kRegSz, text(u"a\r\nb"));
    k.setValue(u"Exp", kRegExpandSz, text(u"%"));
    std::vector<uint8_t> blob(30);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7);
    k.setValue(u"Blob", kRegBinary, blob);
    k.setValue(u"None", kRegNone, {});
    keyAt(tree, RegRoot::CurrentUser, u"Software\\Orvane\\Round \"Trip\"\\Empty\\Deeper");
    keyAt(tree, RegRoot::ClassesRoot, u"CLSID");

    EXPECT_EQ(toText(tree), kHeader + R"(
[HKEY_LOCAL_MACHINE]
"Installed"=dword:00000001

[HKEY_CURRENT_USER\Software]

[HKEY_CURRENT_USER\Software\Orvane]

[HKEY_CURRENT_USER\Software\Orvane\Round "Trip"]
"Path"="C:\\Notes\\\"quoted\""
"Na\"me\\"="Grüße 日本 😀"
@=""
"Count"=dword:0000000a
"Lines"=hex(1):61,00,0d,00,0a,00,62,00,00,00
"Exp"=hex(2):25,00,00,00
"Blob"=hex:00,07,0e,15,1c,23,2a,31,38,3f,46,4d,54,5b,62,69,70,77,7e,85,8c,93,\
  9a,a1,a8,af,b6,bd,c4,cb
"None"=hex(0):

[HKEY_CURRENT_USER\Software\Orvane\Round "Trip"\Empty]

[HKEY_CURRENT_USER\Software\Orvane\Round "Trip"\Empty\Deeper]

[HKEY_CLASSES_ROOT\CLSID]
)");
    EXPECT_EQ(toText(Tree()), kHeader);
}

TEST(RegistryTextTest, WhatIsWrittenReadsBackToTheSameTree) {
    Tree tree;
    Key& k = keyAt(tree, RegRoot::CurrentUser, u"Zeta\\ [odd] \"name\" ");
    keyAt(tree, RegRoot::CurrentUser, u"Alpha");  // after Zeta: order is kept
    const std::u16string lone(1, char16_t(0xDC00));
    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> values = {
        {kRegSz, text(u"back\\slash \"quote\" \\\" ; [x] = \t")},
        {kRegSz, text(u"\U0001F600 \uFFFF")},
        {kRegSz, text(u"zero\0inside"sv)},  // hex(1) from here on
        {kRegSz, {0x61, 0x00}},             // no terminating zero
        {kRegSz, {0x61, 0x00, 0x00}},       // an odd size
        {kRegSz, text(lone)},
        {kRegSz, {}},
        {kRegDword, {1, 2, 3}},
        {kRegDword, dwordBytes(0xFFFFFFFF)},
        {kRegBinary, {}},
        {kRegBinary, std::vector<uint8_t>(200, 0xAB)},
        {0xFFFFFFFF, {0}},
    };
    for (size_t i = 0; i < values.size(); ++i)
        k.setValue(u"v" + toU16(static_cast<int64_t>(i)), values[i].first, values[i].second);
    k.setValue(std::u16string(100, u'n'), kRegBinary, {1, 2, 3});  // wraps before the first byte
    keyAt(tree, RegRoot::ClassesRoot, u"").setValue(u"", kRegSz, text(u"on the hive"));

    const std::string written = toText(tree);
    Tree back;
    std::vector<Problem> problems;
    parseText(written, &back, &problems);
    EXPECT_EQ(problems, std::vector<Problem>{});
    EXPECT_TRUE(back == tree) << written << "\nread back as\n" << toText(back);
}

// The forms a person or another program may write, each with the form it is written back in.
TEST(RegistryTextTest, ReadsTheFormsAnEditorWrites) {
    // As an exported file may come: a byte order mark, CRLF, the old header, short hive names,
    // hex data continued on the next line.
    EXPECT_EQ(canonical("\xEF\xBB\xBFREGEDIT4\r\n\r\n"
                        "; a comment\r\n"
                        "[HKLM\\Software\\X]\r\n"
                        "\"Bin\"=hex:01,02,\\\r\n"
                        "  03\r\n"
                        "@=\"d\"\r\n"
                        "\"Exp\"=hex(2):25,00,00,00\r\n"),
              kHeader +
                  "\n[HKEY_LOCAL_MACHINE\\Software]\n"
                  "\n[HKEY_LOCAL_MACHINE\\Software\\X]\n"
                  "\"Bin\"=hex:01,02,03\n@=\"d\"\n\"Exp\"=hex(2):25,00,00,00\n");

    // UTF-16LE with a byte order mark, as the Windows Registry Editor exports.
    const std::string exported =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\\u00C4]\r\n";
    std::vector<uint8_t> utf16 = utf16leBytes(fromUtf8(exported), false);
    utf16.insert(utf16.begin(), {0xFF, 0xFE});
    EXPECT_EQ(canonical(std::string(utf16.begin(), utf16.end())),
              kHeader + "\n[HKEY_CURRENT_USER\\\u00C4]\n");

    // Case, blanks, digits left out, a trailing comma; a key named twice is one key, and names
    // keep their first spelling.
    EXPECT_EQ(canonical(kHeader + "  [hkcu\\A]  \n"
                                  "\t\"n\" = DWORD: A \n"
                                  "\"b\"=HEX:1,fF,\n"
                                  "\"e\"=hex:\n"
                                  "\"t\"=Hex(7):\n"
                                  "\"\"=\"a\\b\\\\c\"\n"
                                  "[HKEY_CURRENT_USER\\a\\B]\n"
                                  "[Hkey_Current_User\\A]\n"
                                  "\"N\"=dword:1\n"),
              kHeader +
                  "\n[HKEY_CURRENT_USER\\A]\n"
                  "\"n\"=dword:00000001\n\"b\"=hex:01,ff\n\"e\"=hex:\n\"t\"=hex(7):\n"
                  "@=\"a\\\\b\\\\c\"\n"
                  "\n[HKEY_CURRENT_USER\\A\\B]\n");

    EXPECT_EQ(canonical(""), kHeader);
    EXPECT_EQ(canonical(" \n\t\r\n"), kHeader);
}

// Each bad line is named with what is wrong; everything else is still read.
TEST(RegistryTextTest, NamesEachLineItCannotReadAndReadsTheRest) {
    std::vector<Problem> problems;
    EXPECT_EQ(parseAndWrite("[HKEY_CURRENT_USER\\NoHeader]\n"
                            "\"kept\"=dword:1\n"
                            "[HKEY_NOWHERE\\X]\n"
                            "\"dropped\"=\"under a rejected key line\"\n"
                            "[-HKEY_CURRENT_USER\\Gone]\n"
                            "[HKEY_CURRENT_USER\\Open\n"
                            "[HKEY_CURRENT_USER\\a\\\\b]\n"
                            "[HKEY_CURRENT_USER\\]\n"
                            "[HKEY_CURRENT_USER\\Good]\n"
                            "\"Name\"=\"kept\"\n"
                            "\"Broken\"=dword:xyz\n"
                            "\"d\"=dword:123456789\n"
                            "\"open=\"x\"\n"
                            "\"n\" \"x\"\n"
                            "\"n\"=\"open\n"
                            "\"n\"=\"x\" y\n"
                            "\"n\"=hex(z):00\n"
                            "\"n\"=hex(2:00\n"
                            "\"n\"=hex:1,,2\n"
                            "\"n\"=hex:100\n"
                            "\"n\"=-\n"
                            "\"n\"=text\n"
                            "\"n\"=\"\xC3\x28\"\n"
                            "stray\n"
                            "\"Last\"=hex:01,\\\n"
                            "  02\n"
                            "\"n\"=hex:01,\\\n",
                            &problems),
              kHeader +
                  "\n[HKEY_CURRENT_USER\\NoHeader]\n\"kept\"=dword:00000001\n"
                  "\n[HKEY_CURRENT_USER\\Good]\n\"Name\"=\"kept\"\n\"Last\"=hex:01,02\n");
    const std::string unrecognised =
        "unrecognised value data (expected \"text\", dword:, hex: or hex(n):)";
    EXPECT_EQ(problems, (std::vector<Problem>{
                            {1, "the first line must be \"Windows Registry Editor Version 5.00\""},
                            {3, "unknown hive \"HKEY_NOWHERE\""},
                            {5, "deleting keys with \"[-...]\" is not supported"},
                            {6, "a key line must end with ']'"},
                            {7, "empty key name in \"HKEY_CURRENT_USER\\a\\\\b\""},
                            {8, "empty key name in \"HKEY_CURRENT_USER\\\""},
                            {11, "a dword needs 1 to 8 hex digits"},
                            {12, "a dword needs 1 to 8 hex digits"},
                            {13, "expected '=' after the value name"},
                            {14, "expected '=' after the value name"},
                            {15, "the text has no closing quote"},
                            {16, "unexpected characters after the closing quote"},
                            {17, "expected hex(<type>): with the type in hex digits"},
                            {18, "expected hex(<type>): with the type in hex digits"},
                            {19, "hex data must be bytes of two hex digits separated by commas"},
                            {20, "hex data must be bytes of two hex digits separated by commas"},
                            {21, "deleting values with \"=-\" is not supported"},
                            {22, unrecognised},
                            {23, "the line is not valid UTF-8"},
                            {24, "expected a [key] line, a value line or a ';' comment"},
                            {27, "the hex data continues past the end of the file"},
                        }));

    problems.clear();
    EXPECT_EQ(parseAndWrite(kHeader + "\"n\"=\"x\"\n\"m\n", &problems), kHeader);
    EXPECT_EQ(problems, (std::vector<Problem>{{2, "a value line before the first [key] line"},
                                              {3, "the value name has no closing quote"}}));

    const std::string notUtf16 = "the file starts like UTF-16 but is not valid UTF-16";
    for (std::string bytes :
         {std::string("\xFF\xFE[\0\0", 5), std::string("\xFF\xFE\x00\xD8", 4)}) {
        problems.clear();
        EXPECT_EQ(parseAndWrite(bytes, &problems), kHeader);
        EXPECT_EQ(problems, (std::vector<Problem>{{1, notUtf16}}));
    }
}

TEST(RegistryTextTest, DwordBytesAreLeastSignificantFirst) {
    EXPECT_EQ(dwordBytes(0x0A0B0C0D), (std::vector<uint8_t>{0x0D, 0x0C, 0x0B, 0x0A}));
    uint32_t v = 7;
    EXPECT_TRUE(dwordOf({0xFF, 0xFE, 0x00, 0x80}, &v));
    EXPECT_EQ(v, 0x8000FEFFu);
    EXPECT_FALSE(dwordOf({1, 2, 3}, &v));
    EXPECT_EQ(v, 0x8000FEFFu);
}

}  // namespace
}  // namespace vt::plat::reg
