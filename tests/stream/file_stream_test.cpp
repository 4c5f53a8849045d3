#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "runtime/text.h"
#include "stream/stream.h"
#include "temp_dir.h"

namespace kelpora {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Runs each case inside a fresh directory tree with mixed-case names.
class FileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    fs::current_path(dir_.path());
    fs::create_directories("Data/Level1");
    WriteFile("Data/Level1/Map.TXT", "map bytes");
    WriteFile("plain.bin", "0123456789");
  }
  void TearDown() override { fs::current_path(old_); }

  testing::TempDir dir_;
  fs::path old_;
};

TEST_F(FileStreamTest, ModesAndFields) {
  auto read = TFileStream::OpenFile(u"plain.bin", 1, 0);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->mode, TFileStream::MODE_READ);
  EXPECT_EQ(read->Size(), 10);
  EXPECT_EQ(read->Pos(), 0);
  EXPECT_EQ(read->Write("x", 1), 0);  // "rb" moves nothing out
  EXPECT_THROW(read->WriteU8(1), TStreamWriteError);

  // "r+b" never creates; "wb" does, and truncates.
  EXPECT_FALSE(TFileStream::OpenFile(u"new.bin", 1, 1));
  EXPECT_FALSE(fs::exists("new.bin"));
  auto created = TFileStream::OpenFile(u"new.bin", 0, 1);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->mode, TFileStream::MODE_WRITE);
  created->WriteByteText(u"abc");
  EXPECT_EQ(created->Size(), 3);
  EXPECT_EQ(created->Pos(), 3);
  created->Close();
  EXPECT_EQ(created->Size(), 0);
  EXPECT_EQ(created->Close(), 0);  // twice is harmless
  EXPECT_EQ(created->Read(nullptr, 4), 0);
  EXPECT_EQ(ReadFile("new.bin"), "abc");
  auto both = TFileStream::OpenFile(u"new.bin", 1, 1);
  ASSERT_TRUE(both);
  EXPECT_EQ(both->mode, TFileStream::MODE_READ_WRITE);
  EXPECT_EQ(both->Size(), 3);
}

TEST_F(FileStreamTest, ReadWriteFileSwitchesDirectionSafely) {
  auto both = OpenUrlStream(u"plain.bin", 1, 1);
  ASSERT_TRUE(both);
  EXPECT_EQ(both->ReadU8(), '0');
  both->WriteU8('X');
  EXPECT_EQ(both->ReadU8(), '2');
  both->Seek(10);
  both->WriteByteText(u"AB");
  EXPECT_EQ(both->Size(), 12);
  both->Seek(0);
  EXPECT_EQ(both->ReadTextLine(), u"0X23456789AB");
  both->Close();
  EXPECT_EQ(ReadFile("plain.bin"), "0X23456789AB");
}

TEST_F(FileStreamTest, SeekKeepsThePositionWhenTheSeekFails) {
  auto file = OpenForReading(u"plain.bin");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Seek(4), 4);
  EXPECT_EQ(file->Seek(-1), 4);
  EXPECT_EQ(file->Pos(), 4);
  EXPECT_EQ(file->ReadU8(), '4');
  // Past the end is a valid offset for a file; reading there gives nothing.
  EXPECT_EQ(file->Seek(20), 20);
  EXPECT_EQ(file->Eof(), 0);
  uint8_t byte;
  EXPECT_EQ(file->Read(&byte, 1), 0);
}

TEST_F(FileStreamTest, BackslashesAreSeparators) {
  auto file = OpenForReading(u"Data\\Level1\\Map.TXT");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->ReadTextLine(), u"map bytes");
  auto out = OpenForWriting(u"Data\\out.txt");
  ASSERT_TRUE(out);
  out->Close();
  EXPECT_TRUE(fs::exists("Data/out.txt"));
}

TEST_F(FileStreamTest, CaseFallbackForReadingOnly) {
  auto file = OpenForReading(u"data\\LEVEL1/map.txt");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->ReadTextLine(), u"map bytes");
  EXPECT_TRUE(OpenForReading(u"PLAIN.BIN"));
  EXPECT_FALSE(OpenUrlStream(u"data/level1/map.txt", 1, 1));
  EXPECT_FALSE(OpenForWriting(u"data/level1/map.txt"));  // no "data" directory to create in
  auto fresh = OpenForWriting(u"PLAIN.BIN");
  ASSERT_TRUE(fresh);
  fresh->Close();
  EXPECT_TRUE(fs::exists("PLAIN.BIN"));
  EXPECT_EQ(ReadFile("plain.bin"), "0123456789");
}

TEST_F(FileStreamTest, ResolvePathCase) {
  EXPECT_EQ(ResolvePathCase(u"Data/Level1/Map.TXT"), u"Data/Level1/Map.TXT");
  EXPECT_EQ(ResolvePathCase(u"DATA/level1/map.txt"), u"Data/Level1/Map.TXT");
  EXPECT_EQ(ResolvePathCase(u"data"), u"Data");
  EXPECT_EQ(ResolvePathCase(u"Data/LEVEL1/map.txt"), u"Data/Level1/Map.TXT");
  EXPECT_EQ(ResolvePathCase(u"data/missing/map.txt"), u"");
  EXPECT_EQ(ResolvePathCase(u"nothing"), u"");
  String absolute = FromBytes(fs::current_path().string()) + u"/DATA/level1/MAP.txt";
  String actual = FromBytes(fs::current_path().string()) + u"/Data/Level1/Map.TXT";
  EXPECT_EQ(ResolvePathCase(absolute), actual);
  EXPECT_EQ(ResolvePathCase(UpperAscii(actual)), actual);  // the first component too
}

TEST_F(FileStreamTest, DeepMissingPathsFailWithoutExhaustingTheStack) {
  String deep = u"Data";
  for (int i = 0; i < 60000; ++i) deep += u"/a";
  EXPECT_EQ(ResolvePathCase(deep), u"");
  EXPECT_FALSE(OpenForReading(deep));
}

TEST_F(FileStreamTest, DirectoriesAreNotStreams) {
  EXPECT_FALSE(OpenForReading(u"Data"));
  EXPECT_FALSE(OpenForReading(u"data/LEVEL1"));
  EXPECT_TRUE(LoadAllBytes(u"Data").empty());
}

TEST_F(FileStreamTest, DroppedStreamsCloseTheirFiles) {
  {
    auto out = OpenForWriting(u"dropped.txt");
    ASSERT_TRUE(out);
    out->WriteTextLine(u"kept");
  }
  EXPECT_EQ(ReadFile("dropped.txt"), "kept\r\n");
  // A byte-order view or any forwarding stream closes the file when dropped too.
  std::FILE* handle = std::fopen("dropped.txt", "rb");
  ASSERT_NE(handle, nullptr);
  std::fgetc(handle);
  auto adopted = TFileStream::FromHandle(handle, TFileStream::MODE_READ);
  EXPECT_EQ(adopted->Pos(), 1);
  EXPECT_EQ(adopted->Size(), 6);
  EXPECT_EQ(adopted->ReadTextLine(), u"ept");
}

TEST_F(FileStreamTest, WholeFileRoundTrip) {
  std::vector<uint8_t> bytes(100000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  SaveAllBytes(bytes, u"big.bin");
  EXPECT_EQ(LoadAllBytes(u"big.bin"), bytes);
  EXPECT_EQ(LoadAllBytes(u"BIG.BIN"), bytes);
  SaveAllText(u"caf\u00e9\r\n", BoxString(u"text.txt"));
  EXPECT_EQ(ReadFile("text.txt"), "caf\xe9\r\n");
  EXPECT_EQ(LoadAllText(u"text.txt"), u"caf\u00e9\r\n");
  SaveAllBytes({}, u"empty.bin");
  EXPECT_TRUE(fs::exists("empty.bin"));
  EXPECT_TRUE(LoadAllBytes(u"empty.bin").empty());
}

}  // namespace
}  // namespace kelpora
