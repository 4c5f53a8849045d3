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
  EXPECT_EQ(Written(TEXT_UTF8, u"\u00e9"), "\xC3\xA9");
  EXPECT_EQ(Written(TEXT_UTF8, u"\u20ac"), "\xE2\x82\xAC");
  // A surrogate pair is one character: one four-byte sequence.
  EXPECT_EQ(Written(TEXT_UTF8, u"x\U0001F600y"), "x\xF0\x9F\x98\x80y");
  EXPECT_EQ(Written(TEXT_UTF8, u"\U0010FFFF"), "\xF4\x8F\xBF\xBF");

  auto stream = Over("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80!", TEXT_UTF8);
  EXPECT_EQ(stream->ReadChar(), 233);
  EXPECT_EQ(stream->ReadChar(), 0x20AC);
  EXPECT_EQ(stream->ReadChar(), 0x1F600);
  EXPECT_EQ(stream->ReadChar(), '!');  // still in step after the emoji
  EXPECT_EQ(stream->Eof(), 1);
  EXPECT_EQ(stream->ReadChar(), 0);

  EXPECT_EQ(Lines("a\xF0\x9F\x98\x80z\n"), std::vector<String>{u"a\U0001F600z"});
  EXPECT_EQ(Over("\xF0\x9F\x98\x80\xC3\xA9", TEXT_UTF8)->ReadByteText(2), u"\U0001F600\u00e9");
}

TEST(TextStreamTest, WriteCharTakesCodePoints) {
  auto bank = TBank::Create(0);
  auto stream = TTextStream::Create(CreateBankStream(bank), TEXT_UTF8);
  for (int c : {0x41, 0xE9, 0x20AC, 0x1F600, 0xD800, -5, 0x110000}) stream->WriteChar(c);
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
  EXPECT_EQ(Lines("a\xC0\x8A"
                  "b"),
            std::vector<String>{u"a\uFFFD\uFFFDb"});
  EXPECT_EQ(Lines("a\xC0\x80"
                  "b"),
            std::vector<String>{u"a\uFFFD\uFFFDb"});
  EXPECT_EQ(Lines("\xE0\x80\xAF"), std::vector<String>{u"\uFFFD\uFFFD\uFFFD"});
  // Encoded surrogates, beyond U+10FFFF, stray continuations, truncation.
  EXPECT_EQ(Lines("\xED\xA0\x80"), std::vector<String>{u"\uFFFD\uFFFD\uFFFD"});
  EXPECT_EQ(Lines("\xF4\x90\x80\x80"), std::vector<String>{u"\uFFFD\uFFFD\uFFFD\uFFFD"});
  EXPECT_EQ(Lines("\x80\xBFz\xFF"), std::vector<String>{u"\uFFFD\uFFFDz\uFFFD"});
  EXPECT_EQ(Lines("ab\xF0\x9F\x98"), std::vector<String>{u"ab\uFFFD"});
}

TEST(TextStreamTest, Utf16ByteOrders) {
  EXPECT_EQ(Written(TEXT_UTF16LE, u"A\u20ac"), std::string("A\0\xAC\x20", 4));
  EXPECT_EQ(Written(TEXT_UTF16BE, u"A\u20ac"), std::string("\0A\x20\xAC", 4));
  EXPECT_EQ(Written(TEXT_UTF16LE, u"\U0001F600"), std::string("\x3D\xD8\x00\xDE", 4));
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

// Python's codecs decide what the right answer is.
class PythonReference {
 public:
  std::vector<std::string> Run(const std::string& mode, const std::vector<std::string>& cases) {
    std::ofstream in(dir_.path() / "in.txt");
    for (const auto& c : cases) in << Hex(c) << "\n";
    in.close();
    auto result =
        testing::RunProcess("/usr/bin/python3", {TEST_SOURCE_DIR "/text_codec_reference.py", mode,
                                                 (dir_.path() / "in.txt").string(),
                                                 (dir_.path() / "out.txt").string()});
    EXPECT_EQ(result.status, 0) << result.err;
    std::ifstream out(dir_.path() / "out.txt");
    std::vector<std::string> answers;
    for (std::string line; std::getline(out, line);) answers.push_back(line);
    return answers;
  }
  static std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) hex += {digits[b >> 4], digits[b & 15]};
    return hex;
  }
  static std::string Utf16LeHex(std::u16string_view text) {
    std::string bytes;
    for (char16_t u : text) bytes += {static_cast<char>(u), static_cast<char>(u >> 8)};
    return Hex(bytes);
  }

 private:
  TempDir dir_;
};

// Bytes that are mostly UTF-8 pieces with every kind of damage mixed in.
std::string RandomUtf8ish(std::mt19937& random) {
  static const char* pieces[] = {"a",
                                 "Z",
                                 " ",
                                 "\n",
                                 "\r",
                                 "" /* a zero byte */,
                                 "\xC3\xA9",
                                 "\xE2\x82\xAC",
                                 "\xF0\x9F\x98\x80",
                                 "\xF4\x8F\xBF\xBF",
                                 "\xC0\x8A",
                                 "\xC1\xBF",
                                 "\xE0\x9F\xBF",
                                 "\xED\xA0\x80",
                                 "\xED\x9F\xBF",
                                 "\xF0\x8F\xBF\xBF",
                                 "\xF4\x90\x80\x80",
                                 "\xF5",
                                 "\xFF",
                                 "\x80",
                                 "\xBF",
                                 "\xC3",
                                 "\xE2\x82",
                                 "\xF0\x9F\x98",
                                 "\xEF\xBB\xBF",
                                 "\xEF\xBF\xBE"};
  std::string bytes;
  int count = random() % 40;
  for (int i = 0; i < count; ++i) {
    if (random() % 6 == 0) {
      bytes += static_cast<char>(random());
    } else {
      size_t which = random() % std::size(pieces);
      bytes += which == 5 ? std::string("\0", 1) : std::string(pieces[which]);
    }
  }
  return bytes;
}

TEST(TextStreamTest, Utf8DecodingMatchesPython) {
  std::mt19937 random(4);
  std::vector<std::string> cases;
  for (int i = 0; i < 3000; ++i) cases.push_back(RandomUtf8ish(random));
  for (int i = 0; i < 500; ++i) {
    std::string noise(random() % 24, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    cases.push_back(noise);
  }
  std::vector<std::string> expected = PythonReference().Run("decode-utf8", cases);
  ASSERT_EQ(expected.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    std::vector<String> lines = Lines(cases[i]);
    std::string ours;
    for (size_t j = 0; j < lines.size(); ++j) {
      if (j) ours += ",";
      ours += PythonReference::Utf16LeHex(lines[j]);
    }
    ASSERT_EQ(ours, expected[i]) << "input " << PythonReference::Hex(cases[i]);
  }
}

TEST(TextStreamTest, EncodingMatchesPythonIncludingSurrogatePairs) {
  std::mt19937 random(9);
  std::vector<std::u16string> texts;
  for (int i = 0; i < 2000; ++i) {
    std::u16string text;
    int count = random() % 30;
    for (int j = 0; j < count; ++j) {
      switch (random() % 6) {
        case 0:
          text += static_cast<char16_t>(random() % 0x80);
          break;
        case 1:
          text += static_cast<char16_t>(random() % 0x800);
          break;
        case 2:
          text += static_cast<char16_t>(random());
          break;  // lone surrogates too
        case 3:
          text += static_cast<char16_t>(0xD800 + random() % 0x400);
          break;
        case 4:
          text += static_cast<char16_t>(0xDC00 + random() % 0x400);
          break;
        default:
          text += static_cast<char16_t>(0xD800 + random() % 0x400);
          text += static_cast<char16_t>(0xDC00 + random() % 0x400);
      }
    }
    texts.push_back(text);
  }
  std::vector<std::string> cases;
  for (const auto& t : texts) {
    std::string bytes;
    for (char16_t u : t) bytes += {static_cast<char>(u), static_cast<char>(u >> 8)};
    cases.push_back(bytes);
  }
  PythonReference python;
  struct {
    const char* mode;
    int encoding;
  } encodings[] = {{"encode-utf-8", TEXT_UTF8},
                   {"encode-utf-16-le", TEXT_UTF16LE},
                   {"encode-utf-16-be", TEXT_UTF16BE}};
  for (auto [mode, encoding] : encodings) {
    std::vector<std::string> expected = python.Run(mode, cases);
    ASSERT_EQ(expected.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(PythonReference::Hex(Written(encoding, texts[i])), expected[i])
          << mode << " of " << PythonReference::Utf16LeHex(texts[i]);
    }
  }
}

}  // namespace
}  // namespace kelpora
