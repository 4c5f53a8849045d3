#include "stream/incbin.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kelpora {
namespace {

const uint8_t FOND[] = {'J', 'F', 'I', 'F', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t OTHER[] = {42};

class IncbinTest : public ::testing::Test {
 protected:
  void SetUp() override { InitStreamModule(); }
};

TEST_F(IncbinTest, FirstRegistrationWins) {
  EXPECT_EQ(RegisterResource(u"DATAS/fond.jpg", FOND, sizeof FOND), 1);
  EXPECT_EQ(RegisterResource(u"DATAS/fond.jpg", OTHER, sizeof OTHER), 0);
  EXPECT_EQ(FindResourceData(u"DATAS/fond.jpg"), FOND);
  EXPECT_EQ(FindResourceSize(u"DATAS/fond.jpg"), static_cast<int>(sizeof FOND));
  auto stream = OpenForReading(u"incbin::DATAS/fond.jpg");
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->ReadByteText(4), u"JFIF");
}

TEST_F(IncbinTest, NamesAreExact) {
  RegisterResource(u"intro/globeintro.png", OTHER, sizeof OTHER);
  EXPECT_TRUE(OpenForReading(u"INCBIN::intro/globeintro.png"));
  EXPECT_FALSE(OpenForReading(u"incbin::./intro/globeintro.png"));
  EXPECT_FALSE(OpenForReading(u"incbin::INTRO/globeintro.png"));
  EXPECT_FALSE(OpenForReading(u"incbin::intro\\globeintro.png"));
  EXPECT_FALSE(OpenForReading(u"incbin::intro/globeintro.png "));
  EXPECT_EQ(FindResourceData(u"unknown"), nullptr);
  EXPECT_EQ(FindResourceSize(u"unknown"), 0);
  EXPECT_FALSE(OpenForReading(u"incbin::unknown"));
}

TEST_F(IncbinTest, OpensReadOnly) {
  RegisterResource(u"ro.bin", FOND, sizeof FOND);
  EXPECT_FALSE(OpenUrlStream(u"incbin::ro.bin", 1, 1));
  EXPECT_FALSE(OpenForWriting(u"incbin::ro.bin"));
  auto stream = OpenForReading(u"incbin::ro.bin");
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->Size(), static_cast<int>(sizeof FOND));
  EXPECT_EQ(stream->Pos(), 0);
  EXPECT_EQ(stream->Write("x", 1), 0);
  // Each open is its own stream over the same bytes, never a copy.
  auto block = RefCast<TBlockStream>(OpenForReading(u"incbin::ro.bin"));
  ASSERT_TRUE(block);
  EXPECT_EQ(block->buf, FOND);
  stream->Close();
  EXPECT_EQ(block->ReadU8(), 'J');
}

TEST_F(IncbinTest, EmptyAndBrokenBlocks) {
  EXPECT_EQ(RegisterResource(u"empty.bin", FOND, 0), 1);
  auto empty = OpenForReading(u"incbin::empty.bin");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->Eof(), 1);
  EXPECT_EQ(RegisterResource(u"null.bin", nullptr, 100), 1);
  EXPECT_EQ(FindResourceSize(u"null.bin"), 0);
  EXPECT_EQ(OpenForReading(u"incbin::null.bin")->Size(), 0);
}

TEST(BlockStream, SeekClampsAndReadsShorten) {
  auto stream = CreateBlockStream(FOND, sizeof FOND, 1, 0);
  int size = sizeof FOND;
  EXPECT_EQ(stream->Seek(-1), 0);
  EXPECT_EQ(stream->Seek(size + 10), size);
  EXPECT_EQ(stream->Eof(), 1);
  stream->Seek(size - 5);
  uint8_t buf[100];
  EXPECT_EQ(stream->Read(buf, 100), 5);
  EXPECT_EQ(std::memcmp(buf, FOND + size - 5, 5), 0);
  EXPECT_EQ(stream->Read(buf, 100), 0);
  EXPECT_EQ(stream->Read(buf, 0), 0);
  EXPECT_EQ(stream->Read(buf, -4), 0);
}

TEST(BlockStream, WritesStayInsideTheBlock) {
  uint8_t block[4] = {};
  auto stream = CreateBlockStream(block, 4, 0, 1);
  uint8_t byte;
  EXPECT_EQ(stream->Read(&byte, 1), 0);  // not readable
  EXPECT_EQ(stream->Write("abcdef", 6), 4);
  EXPECT_EQ(std::memcmp(block, "abcd", 4), 0);
  EXPECT_EQ(stream->Write("e", 1), 0);
  EXPECT_EQ(stream->Size(), 4);
  // Over read-only memory the stream never writes, whatever it is asked.
  const uint8_t* fixed = FOND;
  auto ro = CreateBlockStream(fixed, 4, 1, 1);
  EXPECT_EQ(ro->writeable, 0);
  EXPECT_EQ(ro->Write("zz", 2), 0);
  EXPECT_EQ(FOND[0], 'J');
}

}  // namespace
}  // namespace kelpora
