#include "stream/text_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "process.h"
#include "runtime/text.h"
#include "stream/bank.h"
#include "temp_dir.h"

namespace kelpora {
namespace {

using testing::TempDir;

std::string Bytes(const Ref<TBank>& bank) {
  return std::string(reinterpret_cast<char*>(bank->Buf()), bank->Size());
}

Ref<TTextStream> Over(const std::string& bytes, int encoding, Ref<TBank>* keep = nullptr) {
  auto bank = TBank::Create(static_cast<int>(bytes.size()));
  if (!bytes.empty()) std::memcpy(bank->Buf(), bytes.data(), bytes.size());
  if (keep) *keep = bank;
  return TTextStream::Create(CreateBankStream(bank), encoding);
}

std::string Written(int encoding, std::u16string_view text) {
  auto bank = TBank::Create(0);
  TTextStream::Create(CreateBankStream(bank), encoding)->WriteByteText(text);
  return Bytes(bank);
}

std::vector<String> Lines(const std::string& bytes, int encoding = TEXT_UTF8) {
  auto stream = Over(bytes, encoding);
  std::vector<String> lines;
  while (!stream->Eof()) lines.push_back(stream->ReadTextLine());
  return lines;
}

TEST(TextStreamTest, Utf8OfOneTwoThreeAndFourByteCharacters) {
  // A surrogate pair is one character: one four-byte sequence.
  EXPECT_EQ(Written(TEXT_UTF8, u"x\U0001F600y"), "x\xF0\x9F\x98\x80y");

  auto stream = Over("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80!", TEXT_UTF8);
  EXPECT_EQ(stream->ReadChar(), 233);
  EXPECT_EQ(stream->ReadChar(), 0x20AC);
  EXPECT_EQ(stream->ReadChar(), 0x1F600);
  EXPECT_EQ(stream->ReadChar(), '!');  // still in step after the emoji
  EXPECT_EQ(stream->Eof(), 1);
  EXPECT_EQ(stream->ReadChar(), 0);

  EXPECT_EQ(Lines("a\xF0\x9F\x98\x80z\n"), std::vector<String>{u"a\U0001F600z"});
  EXPECT_EQ(Over("\xF0\x9F\x98\x80\xC3\xA9", TEXT_UTF8)->ReadByteText(2), u"\U0001F600\u00e9");

  // WriteChar takes code points; those that are none give U+FFFD.
  auto bank = TBank::Create(0);
  auto writer = TTextStream::Create(CreateBankStream(bank), TEXT_UTF8);
  for (int c : {0x41, 0xE9, 0x20AC, 0x1F600, 0xD800, -5, 0x110000}) writer->WriteChar(c);
  EXPECT_EQ(Bytes(bank),
            "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xED\xA0\x80\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextStreamTest, LinesEndAtLineFeedsZeroOrTheEnd) {
  EXPECT_EQ(Lines("ab\r\ncd"), (std::vector<String>{u"ab", u"cd"}));
  EXPECT_EQ(Lines("ab\n\n"), (std::vector<String>{u"ab", u""}));
  EXPECT_EQ(Lines(std::string("a\0b", 3)), (std::vector<String>{u"a", u"b"}));
  EXPECT_EQ(Over("", TEXT_UTF8)->ReadTextLine(), u"");
  std::string longLine(5000, 'x');
  EXPECT_EQ(Lines(longLine + "\xC3\xA9" + longLine),
            (std::vector<String>{FromBytes(longLine) + u"\u00e9" + FromBytes(longLine)}));

  auto bank = TBank::Create(0);
  auto stream = TTextStream::Create(CreateBankStream(bank), TEXT_UTF8);
  stream->WriteTextLine(u"\u00e9t\u00e9");
  EXPECT_EQ(Bytes(bank), "\xC3\xA9t\xC3\xA9\r\n");
}

TEST(TextStreamTest, MalformedUtf8GivesReplacementWithoutSwallowingBytes) {
  // A lead byte before a line feed must not take the line feed with it.
  EXPECT_EQ(Lines("a\xC3\nb"), (std::vector<String>{u"a\uFFFD", u"b"}));
  EXPECT_EQ(Lines("a\xE2\x82\nb"), (std::vector<String>{u"a\uFFFD", u"b"}));
  // Overlong forms of line feed and NUL neither end the line nor hide text.
  EXPECT_EQ(Lines("a\xC0\x8A\x62"), std::vector<String>{u"a\uFFFD\uFFFDb"});  // \x62 is b
  EXPECT_EQ(Lines("a\xC0\x80\x62"), std::vector<String>{u"a\uFFFD\uFFFDb"});
  EXPECT_EQ(Lines("\xE0\x80\xAF"), std::vector<String>{u"\uFFFD\uFFFD\uFFFD"});
  // Encoded surrogates, beyond U+10FFFF, stray continuations, truncation.
  EXPECT_EQ(Lines("\xED\xA0\x80"), std::vector<String>{u"\uFFFD\uFFFD\uFFFD"});
  EXPECT_EQ(Lines("\xF4\x90\x80\x80"), std::vector<String>{u"\uFFFD\uFFFD\uFFFD\uFFFD"});
  EXPECT_EQ(Lines("\x80\xBFz\xFF"), std::vector<String>{u"\uFFFD\uFFFDz\uFFFD"});
  EXPECT_EQ(Lines("ab\xF0\x9F\x98"), std::vector<String>{u"ab\uFFFD"});
}

TEST(TextStreamTest, Utf16ByteOrders) {
  EXPECT_EQ(Written(TEXT_UTF16LE, u"A\u20ac"), std::string("A\0\xAC\x20", 4));
  EXPECT_EQ(Lines(std::string("h\0i\0\r\0\n\0\xAC\x20", 10), TEXT_UTF16LE),
            (std::vector<String>{u"hi", u"\u20ac"}));
  EXPECT_EQ(Lines(std::string("\0h\0i\x20", 5), TEXT_UTF16BE),
            std::vector<String>{u"hi\uFFFD"});  // half a unit at the end
  EXPECT_EQ(Written(TEXT_LATIN1, u"\u00e9\u20ac"), "\xE9\xAC");
  EXPECT_EQ(Lines("\xE9\xFF\n", TEXT_LATIN1), std::vector<String>{u"\u00e9\u00ff"});
}

TEST(TextStreamTest, ProtocolsWrapAnyUrl) {
  InitTextStreamModule();
  TempDir dir;
  String path = dir.Url("text.txt");
  for (const char16_t* protocol : {u"latin1", u"UTF8", u"utf16be", u"utf16le"}) {
    String url = String(protocol) + u"::" + path;
    Ref<TDataStream> out = OpenForWriting(url);
    ASSERT_TRUE(out) << ToBytes(protocol);
    out->WriteTextLine(u"caf\u00e9");
    out->WriteTextLine(u"end");
    out->Close();
    Ref<TDataStream> in = OpenForReading(url);
    EXPECT_EQ(in->ReadTextLine(), u"caf\u00e9");
    EXPECT_EQ(in->ReadTextLine(), u"end");
    EXPECT_EQ(in->ReadTextLine(), u"");
  }
  EXPECT_EQ(LoadAllBytes(path).size(), 22u);  // utf16le: 11 units
  EXPECT_FALSE(OpenForReading(u"utf7::" + path));
  EXPECT_FALSE(OpenForReading(u"utf8::" + dir.Url("missing.txt")));
  EXPECT_FALSE(TTextStream::Create(nullptr, TEXT_UTF8));
}

TEST(TextStreamTest, ReadAheadStaysInvisible) {
  TempDir dir;
  std::ofstream(dir.path() / "mixed.bin", std::ios::binary) << "line one\nBIN\x01\x02 tail";
  auto stream = TTextStream::Create(TFileStream::OpenFile(dir.Url("mixed.bin"), 1, 1), TEXT_UTF8);
  EXPECT_EQ(stream->ReadTextLine(), u"line one");
  EXPECT_EQ(stream->Pos(), 9);
  EXPECT_EQ(stream->ReadByteText(3), u"BIN");
  EXPECT_EQ(stream->ReadU16(), 0x0201);
  stream->WriteByteText(u"T");  // lands where reading stopped
  EXPECT_EQ(stream->Pos(), 15);
  stream->Seek(0);
  EXPECT_EQ(stream->ReadTextLine(), u"line one");
  stream->Close();
  std::ifstream in(dir.path() / "mixed.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "line one\nBIN\x01\x02Ttail");
}

TEST(TextStreamTest, StandardInputAndOutputInUtf8) {
  auto result = testing::RunProcess(TEXT_STDIO_HELPER, {}, {}, "Zo\xC3\xAB\r\nsecond\n");
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Name? \xC3\xA9 Hello Zo\xC3\xAB \xF0\x9F\x98\x80\r\nnext: second\r\n");
}

std::string Hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : bytes) hex += {digits[b >> 4], digits[b & 15]};
  return hex;
}

std::string Utf16Le(std::u16string_view text) {
  std::string bytes;
  for (char16_t u : text) bytes += {static_cast<char>(u), static_cast<char>(u >> 8)};
  return bytes;
}

// Python's codecs decide what the right answer is: one answer per case.
std::vector<std::string> Python(const std::string& mode, const std::vector<std::string>& cases) {
  TempDir dir;
  std::ofstream in(dir.path() / "in.txt");
  for (const auto& c : cases) in << Hex(c) << "\n";
  in.close();
  auto result = testing::RunProcess(
      "/usr/bin/python3", {TEST_SOURCE_DIR "/text_codec_reference.py", mode,
                           (dir.path() / "in.txt").string(), (dir.path() / "out.txt").string()});
  EXPECT_EQ(result.status, 0) << result.err;
  std::ifstream out(dir.path() / "out.txt");
  std::vector<std::string> answers;
  for (std::string line; std::getline(out, line);) answers.push_back(line);
  return answers;
}

// Bytes that are mostly UTF-8 pieces with every kind of damage mixed in:
// overlong, surrogate, beyond U+10FFFF, stray, truncated, BOM, noncharacter.
std::string RandomUtf8ish(std::mt19937& random) {
  static const std::vector<std::string> pieces = [] {
    std::vector<std::string> list;
    std::istringstream hex(
        "61 5a 20 0a 0d 00 c3a9 e282ac f09f9880 f48fbfbf c08a c1bf e09fbf eda080 ed9fbf "
        "f08fbfbf f4908080 f5 ff 80 bf c3 e282 f09f98 efbbbf efbfbe");
    for (std::string piece; hex >> piece;) {
      list.emplace_back();
      for (size_t i = 0; i < piece.size(); i += 2) {
        list.back() += static_cast<char>(std::stoi(piece.substr(i, 2), nullptr, 16));
      }
    }
    return list;
  }();
  std::string bytes;
  for (int i = random() % 40; i > 0; --i) {
    bytes += random() % 6 == 0 ? std::string(1, static_cast<char>(random()))
                               : pieces[random() % pieces.size()];
  }
  return bytes;
}

TEST(TextStreamTest, Utf8DecodingMatchesPython) {
  std::mt19937 random(4);
  std::vector<std::string> cases;
  for (int i = 0; i < 3500; ++i) {
    cases.push_back(RandomUtf8ish(random));
    if (i >= 3000)
      for (char& c : cases.back()) c = static_cast<char>(random());  // plain noise
  }
  std::vector<std::string> expected = Python("decode-utf8", cases);
  ASSERT_EQ(expected.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    std::vector<String> lines = Lines(cases[i]);
    std::string ours;
    for (size_t j = 0; j < lines.size(); ++j) ours += (j ? "," : "") + Hex(Utf16Le(lines[j]));
    ASSERT_EQ(ours, expected[i]) << "input " << Hex(cases[i]);
  }
}

TEST(TextStreamTest, EncodingMatchesPythonIncludingSurrogatePairs) {
  std::mt19937 random(9);
  // ASCII, two-byte, any unit, lone high and low surrogates, and pairs.
  const unsigned base[] = {0, 0, 0, 0xD800, 0xDC00}, span[] = {0x80, 0x800, 0x10000, 0x400, 0x400};
  std::vector<std::u16string> texts;
  std::vector<std::string> cases;
  for (int i = 0; i < 2000; ++i) {
    std::u16string text;
    for (int j = random() % 30; j > 0; --j) {
      unsigned kind = random() % 6;
      if (kind == 5) {  // a pair: its high half, then a low one
        text += static_cast<char16_t>(0xD800 + random() % 0x400);
        kind = 4;
      }
      text += static_cast<char16_t>(base[kind] + random() % span[kind]);
    }
    texts.push_back(text);
    cases.push_back(Utf16Le(text));
  }
  const std::pair<const char*, int> encodings[] = {{"encode-utf-8", TEXT_UTF8},
                                                   {"encode-utf-16-le", TEXT_UTF16LE},
                                                   {"encode-utf-16-be", TEXT_UTF16BE}};
  for (auto [mode, encoding] : encodings) {
    std::vector<std::string> expected = Python(mode, cases);
    ASSERT_EQ(expected.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(Hex(Written(encoding, texts[i])), expected[i]) << mode << " of " << Hex(cases[i]);
    }
  }
}

}  // namespace
}  // namespace kelpora
