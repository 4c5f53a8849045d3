#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>

#include "stream/bank.h"
#include "stream/endian_stream.h"
#include "stream/incbin.h"
#include "temp_dir.h"

namespace kelpora {
namespace {

class BankTest : public ::testing::Test {
 protected:
  void SetUp() override { InitStreamModule(); }
};

TEST_F(BankTest, StreamGrowsTheBankByHalf) {
  auto stream = CreateBankStream(nullptr);
  Ref<TBank> bank = stream->bank;
  ASSERT_TRUE(bank);
  EXPECT_EQ(bank->Size(), 0);
  EXPECT_EQ(bank->Buf(), nullptr);
  const uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  stream->WriteFully(ten, 10);
  EXPECT_EQ(bank->Size(), 10);
  EXPECT_EQ(bank->Capacity(), 10);
  stream->WriteU8(11);
  EXPECT_EQ(bank->Size(), 11);
  EXPECT_EQ(bank->Capacity(), 15);
  EXPECT_EQ(bank->PeekU8(10), 11);
  EXPECT_EQ(bank->PeekU8(0), 1);
  // Seeking past the end stops at it, and writing there appends.
  EXPECT_EQ(stream->Seek(100), 11);
  stream->WriteU16(0x0D0C);
  EXPECT_EQ(bank->Size(), 13);
  EXPECT_EQ(bank->Capacity(), 15);
  EXPECT_EQ(stream->Seek(-5), 0);
  uint8_t back[13];
  EXPECT_EQ(stream->Read(back, 100), 13);
  EXPECT_EQ(back[12], 13);
  EXPECT_EQ(stream->Read(back, 1), 0);
  EXPECT_EQ(stream->Eof(), 1);
}

TEST_F(BankTest, ResizeKeepsContentsAndZeroesNewBytes) {
  auto bank = CreateBank(4);
  EXPECT_EQ(bank->PeekI32(0), 0);
  bank->PokeI32(0, 0x04030201);
  bank->Resize(2);
  EXPECT_EQ(bank->Capacity(), 4);
  bank->Resize(4);
  EXPECT_EQ(bank->PeekU16(2), 0);  // bytes a bank grows by read as zero
  EXPECT_EQ(bank->PeekU16(0), 0x0201);
  bank->Resize(5);
  EXPECT_EQ(bank->Capacity(), 6);
  bank->Resize(100);
  EXPECT_EQ(bank->Capacity(), 100);
  EXPECT_EQ(bank->PeekU8(1), 2);
  EXPECT_EQ(bank->PeekI64(92), 0);
  bank->Resize(-3);
  EXPECT_EQ(bank->Size(), 0);
  EXPECT_EQ(CreateBank(-1)->Capacity(), 0);
}

TEST_F(BankTest, GrowthStopsAtTheLargestBank) {
  EXPECT_EQ(TBank::GrownCapacity(10, 11), 15);
  EXPECT_EQ(TBank::GrownCapacity(10, 40), 40);
  EXPECT_EQ(TBank::GrownCapacity(-1, 7), 7);
  // From 1.5 GB up, half again is past the int range: the bank grows to its limit.
  EXPECT_EQ(TBank::GrownCapacity(1431655765, 1431655766), INT_MAX);
  EXPECT_EQ(TBank::GrownCapacity(1610612736, 1610612737), INT_MAX);
  EXPECT_EQ(TBank::GrownCapacity(INT_MAX - 1, INT_MAX), INT_MAX);
}

TEST_F(BankTest, StaticBanksLeaveTheirBlockAlone) {
  uint8_t block[4] = {9, 8, 7, 6};
  {
    auto bank = CreateStaticBank(block, 4);
    EXPECT_EQ(bank->Capacity(), -1);
    bank->PokeU8(0, 1);
    EXPECT_EQ(block[0], 1);
    bank->Resize(6);
    EXPECT_EQ(bank->Capacity(), 6);
    EXPECT_NE(bank->Buf(), block);
    bank->PokeU8(1, 2);
    EXPECT_EQ(bank->PeekU8(2), 7);
  }
  EXPECT_EQ(block[1], 8);  // the former block is untouched and not freed
}

TEST_F(BankTest, PeekAndPokeAreLittleEndianAndChecked) {
  auto bank = CreateBank(18);
  bank->PokeU16(0, 0xFFFE);
  bank->PokeI32(2, -2);
  bank->PokeF32(6, 2.5f);
  bank->PokeI64(10, -3);
  EXPECT_EQ(bank->PeekU16(0), 65534);
  EXPECT_EQ(bank->PeekU8(0), 0xFE);
  EXPECT_EQ(bank->PeekI32(2), -2);
  EXPECT_EQ(bank->PeekU8(6), 0);
  EXPECT_EQ(bank->PeekU8(9), 0x40);
  EXPECT_EQ(bank->PeekF32(6), 2.5f);
  EXPECT_EQ(bank->PeekI64(10), -3);
  EXPECT_EQ(bank->PeekU8(17), 0xFF);
  bank->PokeF64(10, 0.1);
  EXPECT_EQ(PeekF64(bank, 10), 0.1);
  EXPECT_THROW(bank->PeekI32(15), TArrayBoundsError);
  EXPECT_THROW(bank->PokeU8(18, 0), TArrayBoundsError);
  EXPECT_THROW(bank->PeekU8(-1), TArrayBoundsError);
  EXPECT_THROW(PokeI64(bank, 11, 0), TArrayBoundsError);
  EXPECT_THROW(CreateBank(0)->PeekU8(0), TArrayBoundsError);
}

TEST_F(BankTest, CopyBankBytesAllowsOverlap) {
  auto bank = CreateBank(8);
  for (int i = 0; i < 8; ++i) bank->PokeU8(i, i);
  CopyBankBytes(bank, 0, bank, 2, 6);
  EXPECT_EQ(std::memcmp(bank->Buf(), "\0\1\0\1\2\3\4\5", 8), 0);
  auto other = CreateBank(3);
  CopyBankBytes(bank, 5, other, 0, 3);
  EXPECT_EQ(other->PeekU8(2), 5);
  EXPECT_THROW(CopyBankBytes(bank, 6, other, 0, 3), TArrayBoundsError);
  EXPECT_THROW(CopyBankBytes(bank, 0, other, 1, 3), TArrayBoundsError);
}

TEST_F(BankTest, LoadSaveAndStreamTransfers) {
  testing::TempDir dir;
  String url = dir.Url("bank.bin");
  auto bank = CreateBank(5);
  std::memcpy(bank->Buf(), "hello", 5);
  EXPECT_EQ(bank->Save(url), 1);
  auto loaded = LoadBank(url);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->Size(), 5);
  EXPECT_EQ(std::memcmp(loaded->Buf(), "hello", 5), 0);
  EXPECT_FALSE(LoadBank(dir.Url("missing.bin")));
  EXPECT_EQ(SaveBank(bank, dir.Url("no/such/dir/x")), 0);

  auto file = OpenForReading(url);
  auto into = CreateBank(8);
  EXPECT_EQ(into->ReadFrom(file, 3, 5), 5);
  EXPECT_EQ(into->PeekU8(3), 'h');
  EXPECT_THROW(into->ReadFrom(file, 4, 5), TArrayBoundsError);
  auto out = CreateBankStream(CreateBank(0));
  EXPECT_EQ(into->WriteTo(out, 3, 2), 2);
  EXPECT_EQ(out->bank->PeekU16(0), 'h' | ('e' << 8));
}

TEST_F(BankTest, ABankAsAUrlOpensAsAStream) {
  auto bank = CreateBank(0);
  auto writer = OpenForWriting(bank);
  ASSERT_TRUE(RefCast<TBankStream>(writer));
  writer->WriteTextLine(u"line");
  EXPECT_EQ(bank->Size(), 6);
  EXPECT_EQ(LoadAllText(bank), u"line\r\n");
  EXPECT_EQ(TBank::Load(bank)->Size(), 6);
}

// Bytes 12 34 56 78 FF FE then a big-endian float, double and 64-bit value.
std::vector<uint8_t> Sample() {
  return {0x12, 0x34, 0x56, 0x78, 0xFF, 0xFE, 0x40, 0x20, 0,    0,    0xBF, 0xF0, 0,
          0,    0,    0,    0,    0,    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
}

TEST(ByteSwapStream, TypedValuesAreBigEndian) {
  std::vector<uint8_t> bytes = Sample();
  auto plain = CreateBlockStream(static_cast<void*>(bytes.data()), 26, 1, 0);
  auto swapped = WrapBigEndian(CreateBlockStream(static_cast<void*>(bytes.data()), 26, 1, 0));
  EXPECT_EQ(swapped->ReadI32(), 0x12345678);
  EXPECT_EQ(plain->ReadI32(), 0x78563412);
  EXPECT_EQ(swapped->ReadU16(), 65534);
  EXPECT_EQ(swapped->ReadF32(), 2.5f);
  EXPECT_EQ(swapped->ReadF64(), -1.0);
  EXPECT_EQ(swapped->ReadI64(), 0x0102030405060708LL);
  EXPECT_EQ(swapped->Eof(), 1);
  swapped->Seek(0);
  EXPECT_EQ(swapped->ReadU8(), 0x12);  // single bytes and text are not swapped
  EXPECT_EQ(swapped->ReadByteText(1), u"\x34");
  // Cut short by the end: the missing bytes are zeros before reversal.
  swapped->Seek(24);
  EXPECT_EQ(swapped->ReadI32(), 0x07080000);
}

TEST(ByteSwapStream, WritesRoundTrip) {
  auto bank = CreateBank(0);
  auto out = WrapBigEndian(CreateBankStream(bank));
  out->WriteU16(0x1234);
  out->WriteI32(-2);
  out->WriteI64(0x0102030405060708LL);
  out->WriteF32(2.5f);
  out->WriteF64(-1.0);
  EXPECT_EQ(bank->Size(), 26);
  EXPECT_EQ(bank->PeekU8(0), 0x12);
  EXPECT_EQ(bank->PeekU8(1), 0x34);
  EXPECT_EQ(bank->PeekI32(2), static_cast<int>(0xFEFFFFFF));
  EXPECT_EQ(bank->PeekU8(6), 0x01);
  EXPECT_EQ(bank->PeekU8(14), 0x40);
  EXPECT_EQ(bank->PeekU8(18), 0xBF);
  auto in = WrapBigEndian(CreateBankStream(bank));
  EXPECT_EQ(in->ReadU16(), 0x1234);
  EXPECT_EQ(in->ReadI32(), -2);
  EXPECT_EQ(in->ReadI64(), 0x0102030405060708LL);
  EXPECT_EQ(in->ReadF32(), 2.5f);
  EXPECT_EQ(in->ReadF64(), -1.0);
}

TEST(ByteSwapStream, NoneWrapsToNone) {
  EXPECT_FALSE(TByteSwapStream::Create(nullptr));
  EXPECT_FALSE(WrapBigEndian(nullptr));
  EXPECT_FALSE(WrapLittleEndian(nullptr));
}

// Counts closes of the stream it stands for.
class CountingStream : public TBankStream {
 public:
  int Close() override { return ++closes, 0; }
  int closes = 0;
};

TEST(ByteSwapStream, ClosesItsInnerStream) {
  auto inner = MakeRef<CountingStream>();
  inner->bank = CreateBank(0);
  {
    auto swapped = WrapBigEndian(inner);
    swapped->Close();
    EXPECT_EQ(inner->closes, 1);
  }
  EXPECT_EQ(inner->closes, 2);  // dropping closes again, harmlessly
  EXPECT_EQ(inner->RefCount(), 1);
}

class ByteOrderProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitStreamModule();
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override { std::filesystem::current_path(old_); }
  testing::TempDir dir_;
  std::filesystem::path old_;
};

TEST_F(ByteOrderProtocolTest, LittleEndianGivesTheFileStreamItself) {
  SaveAllBytes(Sample(), u"sample.bin");
  auto stream = OpenForReading(u"LittleEndian::sample.bin");
  ASSERT_TRUE(RefCast<TFileStream>(stream));
  EXPECT_EQ(stream->ReadI32(), 0x78563412);
  EXPECT_TRUE(RefCast<TFileStream>(OpenForReading(u"littleendian::SAMPLE.BIN")));
  EXPECT_FALSE(OpenForReading(u"littleendian::missing.bin"));
}

TEST_F(ByteOrderProtocolTest, BigEndianWrapsAnyUrl) {
  SaveAllBytes(Sample(), u"sample.bin");
  auto file = OpenForReading(u"BIGENDIAN::sample.bin");
  ASSERT_TRUE(RefCast<TByteSwapStream>(file));
  EXPECT_TRUE(RefCast<TFileStream>(RefCast<TByteSwapStream>(file)->inner));
  EXPECT_EQ(file->ReadI32(), 0x12345678);

  static const uint8_t EMBEDDED[] = {0xFF, 0xFE};
  RegisterResource(u"swap/embedded.bin", EMBEDDED, 2);
  auto nested = OpenForReading(u"bigendian::incbin::swap/embedded.bin");
  ASSERT_TRUE(nested);
  EXPECT_EQ(nested->ReadU16(), 65534);
  auto twice = OpenForReading(u"bigendian::bigendian::incbin::swap/embedded.bin");
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->ReadU16(), 65534);  // the outer view reads raw bytes through the inner one
  EXPECT_FALSE(OpenForReading(u"bigendian::incbin::swap/missing.bin"));
  EXPECT_FALSE(OpenForReading(u"bigendian::"));

  auto out = OpenForWriting(u"bigendian::written.bin");
  ASSERT_TRUE(out);
  out->WriteI32(0x01020304);
  out->Close();
  EXPECT_EQ(LoadAllBytes(u"written.bin"), (std::vector<uint8_t>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace kelpora
