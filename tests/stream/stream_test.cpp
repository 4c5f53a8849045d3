#include "stream/stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "runtime/text.h"
#include "stream/bank.h"
#include "stream/incbin.h"
#include "temp_dir.h"

namespace kelpora {
namespace {

using testing::TempDir;

// Records what the protocol list was asked and opens nothing itself.
class RecordingProtocol : public TStreamProtocol {
 public:
  Ref<TDataStream> CreateStream(const Ref<TObject>& url, const String& protocol, const String& path,
                                int readable, int writeable) override {
    ++calls;
    seen.push_back(protocol + u"|" + path);
    lastUrl = url;
    lastProtocol = protocol;
    lastPath = path;
    lastReadable = readable;
    lastWriteable = writeable;
    return nullptr;
  }
  int calls = 0;
  std::vector<String> seen;  // protocol "|" path of every request
  Ref<TObject> lastUrl;
  String lastProtocol, lastPath;
  int lastReadable = -1, lastWriteable = -1;
};

RecordingProtocol& Recorder() {
  static RecordingProtocol* recorder = [] {
    InitStreamModule();
    return MakeRef<RecordingProtocol>().get();  // the protocol list keeps it
  }();
  return *recorder;
}

// A stream of `size` bytes counting up from 0 whose Read hands out at most
// `chunk` bytes and then, after `stallAt`, nothing at all.
class ScriptedStream : public TDataStream {
 public:
  ScriptedStream(int size, int chunk, int stallAt) : size_(size), chunk_(chunk), stall_(stallAt) {}
  int Pos() override { return pos_; }
  int Size() override { return size_; }
  int Read(void* buf, int count) override {
    ++reads;
    if (pos_ >= stall_) return 0;
    int n = std::min({count, chunk_, size_ - pos_, stall_ - pos_});
    for (int i = 0; i < n; ++i) static_cast<uint8_t*>(buf)[i] = static_cast<uint8_t>(pos_ + i);
    pos_ += n;
    return n;
  }
  int Close() override {
    ++closes;
    return 0;
  }
  int reads = 0;
  int closes = 0;

 private:
  int pos_ = 0;
  int size_, chunk_, stall_;
};

Ref<TBlockStream> Over(std::vector<uint8_t>& bytes, int writeable = 0) {
  return CreateBlockStream(static_cast<void*>(bytes.data()), static_cast<int>(bytes.size()), 1,
                           writeable);
}

TEST(UrlSplitting, ProtocolIsLowerCasedAndPathKeptWhole) {
  auto& rec = Recorder();
  EXPECT_FALSE(OpenUrlStream(u"InCBin::DATAS/Fond.jpg", 1, 0));
  EXPECT_EQ(rec.lastProtocol, u"incbin");
  EXPECT_EQ(rec.lastPath, u"DATAS/Fond.jpg");
  EXPECT_EQ(rec.lastReadable, 1);
  EXPECT_EQ(rec.lastWriteable, 0);
  ASSERT_TRUE(RefCast<TStringObject>(rec.lastUrl));
  EXPECT_EQ(RefCast<TStringObject>(rec.lastUrl)->value, u"InCBin::DATAS/Fond.jpg");
}

TEST(UrlSplitting, NestedUrlSplitsOnlyAtTheFirstSeparator) {
  auto& rec = Recorder();
  rec.seen.clear();
  // The byte-order protocol gets the whole inner URL and opens it in turn.
  OpenUrlStream(u"BIGENDIAN::incbin::DATAS/fond.jpg", 1, 0);
  EXPECT_EQ(rec.seen,
            (std::vector<String>{u"bigendian|incbin::DATAS/fond.jpg", u"incbin|DATAS/fond.jpg"}));
  rec.seen.clear();
  OpenUrlStream(u"nosuch::incbin::x", 0, 1);
  EXPECT_EQ(rec.seen, (std::vector<String>{u"nosuch|incbin::x"}));
  EXPECT_EQ(rec.lastWriteable, 1);
}

TEST(UrlSplitting, EmptyPathAndEmptyProtocolNeverOpenFiles) {
  TempDir dir;
  auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  auto& rec = Recorder();
  EXPECT_FALSE(OpenForWriting(u"incbin::"));
  EXPECT_EQ(rec.lastProtocol, u"incbin");
  EXPECT_EQ(rec.lastPath, u"");
  EXPECT_FALSE(OpenForWriting(u"::name"));
  EXPECT_EQ(rec.lastProtocol, u"");
  EXPECT_EQ(rec.lastPath, u"name");
  EXPECT_FALSE(OpenForWriting(u""));
  EXPECT_EQ(rec.lastProtocol, u"");
  EXPECT_EQ(rec.lastPath, u"");
  EXPECT_FALSE(OpenForReading(u""));
  std::filesystem::current_path(old);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(UrlSplitting, OtherObjectsReachProtocolsWithEmptyTexts) {
  auto& rec = Recorder();
  auto thing = MakeRef<TObject>();
  EXPECT_FALSE(OpenForReading(thing));
  EXPECT_EQ(rec.lastUrl, thing);
  EXPECT_EQ(rec.lastProtocol, u"");
  EXPECT_EQ(rec.lastPath, u"");
  // A boxed string is a string URL.
  OpenForReading(BoxString(u"Tcp::host:80"));
  EXPECT_EQ(rec.lastProtocol, u"tcp");
  EXPECT_EQ(rec.lastPath, u"host:80");
}

TEST(UrlSplitting, NewestProtocolClaimingANameWins) {
  struct Fixed : TStreamProtocol {
    explicit Fixed(uint8_t b) : byte(b) {}
    Ref<TDataStream> CreateStream(const Ref<TObject>&, const String& protocol, const String&, int,
                                  int) override {
      return protocol == u"fixedtest" ? CreateBlockStream(&byte, 1, 1, 0) : nullptr;
    }
    uint8_t byte;
  };
  Recorder();
  MakeRef<Fixed>(1);
  MakeRef<Fixed>(2);
  EXPECT_EQ(OpenForReading(u"FixedTest::")->ReadU8(), 2);
  EXPECT_FALSE(OpenForReading(u"fixedtes::"));
}

TEST(UrlSplitting, AbsurdNestingIsRefused) {
  String url;
  for (int i = 0; i < 1000; ++i) url += u"bigendian::";
  url += u"incbin::x";
  Recorder();
  EXPECT_FALSE(OpenForReading(url));
}

TEST(StreamErrors, TextsAndFamily) {
  EXPECT_EQ(TStreamReadError().ToString(), u"Error reading from stream");
  EXPECT_STREQ(TStreamWriteError().what(), "Error writing to stream");
  TStreamReadError read;
  EXPECT_NE(dynamic_cast<TStreamError*>(&read), nullptr);
  auto plain = MakeRef<TDataStream>();
  uint8_t byte = 0;
  try {
    plain->Read(&byte, 1);
    FAIL();
  } catch (const TMessageError& e) {
    EXPECT_EQ(e.ToString(), u"Stream is not readable");
  }
  try {
    plain->WriteU8(1);
    FAIL();
  } catch (const TMessageError& e) {
    EXPECT_EQ(e.ToString(), u"Stream is not writeable");
  }
  EXPECT_EQ(plain->Pos(), -1);
  EXPECT_EQ(plain->Size(), 0);
  EXPECT_EQ(plain->Seek(3), -1);
  EXPECT_EQ(plain->Eof(), 0);
  // The base operation is abstract; this one defers to it for its own name only.
  struct Deferring : TStreamProtocol {
    Ref<TDataStream> CreateStream(const Ref<TObject>& url, const String& protocol,
                                  const String& path, int r, int w) override {
      if (protocol != u"deferring") return nullptr;
      return TStreamProtocol::CreateStream(url, protocol, path, r, w);
    }
  };
  MakeRef<Deferring>();
  EXPECT_THROW(OpenForReading(u"deferring::x"), TAbstractMethodError);
}

TEST(BlockOperations, ReadFullyStopsQuietlyAtTheEnd) {
  auto stream = MakeRef<ScriptedStream>(5, 2, 100);
  uint8_t buf[8];
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(stream->ReadFully(buf, 8), 8);
  EXPECT_EQ(stream->reads, 3);  // 2 + 2 + 1, then the end stops the loop
  const uint8_t want[8] = {0, 1, 2, 3, 4, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(buf, want, 8), 0);
}

TEST(BlockOperations, ReadReturningNothingBeforeTheEndRaises) {
  auto stream = MakeRef<ScriptedStream>(10, 4, 6);
  uint8_t buf[10];
  try {
    stream->ReadFully(buf, 10);
    FAIL();
  } catch (const TStreamReadError& e) {
    EXPECT_EQ(e.ToString(), u"Error reading from stream");
  }
  EXPECT_THROW(MakeRef<ScriptedStream>(10, 4, 6)->Skip(8), TStreamReadError);
  EXPECT_THROW(MakeRef<ScriptedStream>(10, 4, 0)->ReadI32(), TStreamReadError);
}

TEST(BlockOperations, SkipMovesInBoundedSteps) {
  auto stream = MakeRef<ScriptedStream>(5000, 5000, 5000);
  EXPECT_EQ(stream->Skip(3000), 3000);
  EXPECT_EQ(stream->Pos(), 3000);
  EXPECT_EQ(stream->reads, 3);  // 1024, 1024, 952
  EXPECT_EQ(stream->Skip(9999), 9999);
  EXPECT_EQ(stream->Eof(), 1);
}

TEST(BlockOperations, WriteFullyRaisesWhenNothingMoves) {
  std::vector<uint8_t> bytes(3);
  auto stream = Over(bytes, 1);
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  try {
    stream->WriteFully(data, 5);
    FAIL();
  } catch (const TStreamWriteError& e) {
    EXPECT_EQ(e.ToString(), u"Error writing to stream");
  }
  EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(TypedValues, LittleEndianOnTheStream) {
  std::vector<uint8_t> bytes(32);
  auto out = Over(bytes, 1);
  out->WriteU8(0x1AB);
  out->WriteU16(0x11234);
  out->WriteI32(-2);
  out->WriteI64(0x0102030405060708LL);
  out->WriteF32(1.5f);
  out->WriteF64(-0.25);
  EXPECT_EQ(out->Pos(), 27);
  const uint8_t want[27] = {0xAB, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 8, 7, 6, 5, 4,    3,   2,
                            1,    0,    0,    0xC0, 0x3F, 0,    0,    0, 0, 0, 0, 0xD0, 0xBF};
  EXPECT_EQ(std::memcmp(bytes.data(), want, 27), 0);
  auto in = Over(bytes);
  EXPECT_EQ(in->ReadU8(), 0xAB);
  EXPECT_EQ(in->ReadU16(), 0x1234);
  EXPECT_EQ(in->ReadI32(), -2);
  EXPECT_EQ(in->ReadI64(), 0x0102030405060708LL);
  EXPECT_EQ(in->ReadF32(), 1.5f);
  EXPECT_EQ(in->ReadF64(), -0.25);
  std::vector<uint8_t> high = {0xFF, 0xFE};
  EXPECT_EQ(Over(high)->ReadU16(), 0xFEFF);  // zero-extended
}

TEST(TypedValues, CutShortByTheEndFillWithZeros) {
  std::vector<uint8_t> bytes = {9, 9, 0x34, 0x12};
  auto in = Over(bytes);
  in->Seek(2);
  EXPECT_EQ(in->ReadI32(), 0x1234);
  EXPECT_EQ(in->Eof(), 1);
  EXPECT_EQ(in->ReadI64(), 0);
  EXPECT_EQ(in->ReadU8(), 0);
}

TEST(TextLines, CrLfAndLongLines) {
  std::string text = "first\r\nsecond\r\n" + std::string(3000, 'x') + "\nlast";
  std::vector<uint8_t> bytes(text.begin(), text.end());
  auto in = Over(bytes);
  EXPECT_EQ(in->ReadTextLine(), u"first");
  EXPECT_EQ(in->ReadTextLine(), u"second");
  EXPECT_EQ(in->ReadTextLine(), String(3000, u'x'));
  EXPECT_EQ(in->ReadTextLine(), u"last");
  EXPECT_EQ(in->ReadTextLine(), u"");
}

TEST(TextLines, ZeroByteEndsALineAndHighBytesKeepTheirCodes) {
  std::vector<uint8_t> bytes = {'a', 0xE9, 0, 'b', '\r', 'c', '\n'};
  auto in = Over(bytes);
  EXPECT_EQ(in->ReadTextLine(), u"a\u00e9");
  EXPECT_EQ(in->ReadTextLine(), u"bc");
}

TEST(TextLines, WritingLinesAndByteText) {
  std::vector<uint8_t> bytes(8);
  auto out = Over(bytes, 1);
  out->WriteTextLine(u"A");
  out->WriteByteText(u"\u0141z");  // low byte of each unit
  EXPECT_EQ(out->Pos(), 5);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{'A', 13, 10, 0x41, 'z', 0, 0, 0}));
  auto in = Over(bytes);
  EXPECT_EQ(in->ReadByteText(4), u"A\r\nA");
  // A stream ending early gives only what it held.
  in->Seek(6);
  EXPECT_EQ(in->ReadByteText(1 << 30), String(2, u'\0'));
  EXPECT_EQ(in->ReadByteText(-3), u"");
}

TEST(ForwardingStreams, ForwardAndCloseTheInnerStream) {
  auto inner = MakeRef<ScriptedStream>(4, 4, 4);
  {
    auto forward = MakeRef<TForwardingStream>();
    forward->SetInner(inner);
    EXPECT_EQ(forward->Size(), 4);
    EXPECT_EQ(forward->ReadI32(), 0x03020100);
    EXPECT_EQ(forward->Eof(), 1);
  }
  EXPECT_EQ(inner->closes, 1);  // dropped while open: closes what it forwards to
  auto empty = MakeRef<TForwardingStream>();
  EXPECT_EQ(empty->Close(), 0);
  EXPECT_THROW(empty->Pos(), TNullObjectError);
}

TEST(ForwardingStreams, BorrowedStreamsNeverCloseWhatTheyBorrow) {
  auto inner = MakeRef<ScriptedStream>(4, 4, 4);
  {
    Ref<TDataStream> opened = OpenForWriting(inner);  // flags are not checked
    ASSERT_TRUE(RefCast<TBorrowedStream>(opened));
    EXPECT_EQ(opened->ReadU16(), 0x0100);
    EXPECT_EQ(opened->Close(), 0);
    EXPECT_FALSE(RefCast<TBorrowedStream>(opened)->inner);
    auto again = OpenForReading(inner);
  }
  EXPECT_EQ(inner->closes, 0);
  EXPECT_EQ(inner->RefCount(), 1);
}

TEST(WholeStreams, LoadFromStreamsAndStopWhenReadsStall) {
  auto source = MakeRef<ScriptedStream>(3000, 700, 3000);
  ByteBuffer bytes = LoadAllBytes(source);
  ASSERT_EQ(bytes.size(), 3000u);
  EXPECT_EQ(bytes[2999], static_cast<uint8_t>(2999));
  EXPECT_EQ(source->closes, 0);  // loading through a borrowed stream
  // A stream that stops handing out bytes short of its size ends the load.
  EXPECT_EQ(LoadAllBytes(MakeRef<ScriptedStream>(5000, 100, 1234)).size(), 1234u);
  // One that tells nothing of its size is read in growing blocks.
  struct Sizeless : ScriptedStream {
    using ScriptedStream::ScriptedStream;
    int Pos() override { return -1; }
    int Size() override { return 0; }
  };
  bytes = LoadAllBytes(MakeRef<Sizeless>(5000, 999, 5000));
  ASSERT_EQ(bytes.size(), 5000u);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(bytes[i], static_cast<uint8_t>(i)) << i;
  std::vector<uint8_t> raw = {'h', 0xE9, 'y'};
  EXPECT_EQ(LoadAllText(Over(raw)), u"h\u00e9y");
}

TEST(WholeStreams, UnopenableUrlsLoadEmptyAndRefuseSaves) {
  Recorder();
  EXPECT_TRUE(LoadAllBytes(u"nosuchprotocol::x").empty());
  EXPECT_EQ(LoadAllText(u"/nonexistent-dir/for/kelpora"), u"");
  try {
    SaveAllText(u"lost", u"nosuchprotocol::x");
    FAIL();
  } catch (const TStreamWriteError& e) {
    EXPECT_EQ(e.ToString(), u"Error writing to stream");
  }
  EXPECT_THROW(SaveAllBytes(std::vector<uint8_t>{1}, u"/nonexistent-dir/x"), TStreamWriteError);
}

TEST(WholeStreams, CopyUntilEndAndCopyCount) {
  std::vector<uint8_t> dst(10);
  auto to = Over(dst, 1);
  CopyUntilEnd(MakeRef<ScriptedStream>(6, 4, 6), to, 4);
  EXPECT_EQ(to->Pos(), 6);
  CopyCount(MakeRef<ScriptedStream>(10, 10, 10), to, 3, 2);
  EXPECT_EQ(dst, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 0, 1, 2, 0}));
  // A source that stalls ends the copy instead of spinning.
  CopyUntilEnd(MakeRef<ScriptedStream>(100, 10, 0), to, 16);
  EXPECT_EQ(to->Pos(), 9);
  // Copying more than the destination holds is a write error.
  EXPECT_THROW(CopyCount(MakeRef<ScriptedStream>(10, 10, 10), to, 5, 8), TStreamWriteError);
}

TEST(WholeStreams, CopyCountWritesOnlyWhatItRead) {
  // A source shorter than the count ends the copy at its end.
  auto bank = TBank::Create(0);
  CopyCount(MakeRef<ScriptedStream>(1500, 1024, 1500), CreateBankStream(bank), 3000, 1024);
  ASSERT_EQ(bank->Size(), 1500);
  for (int i = 0; i < 1500; ++i) ASSERT_EQ(bank->PeekU8(i), i & 0xFF) << i;
  // A source that stops short of its end is a read error, as in ReadFully.
  auto out = CreateBankStream(TBank::Create(0));
  EXPECT_THROW(CopyCount(MakeRef<ScriptedStream>(100, 30, 40), out, 100, 64), TStreamReadError);
  EXPECT_EQ(out->Size(), 40);
}

}  // namespace
}  // namespace kelpora
