#include "gnet/gnet_object.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <vector>

#include "gnet_test_support.h"
#include "process.h"

namespace kelpora {
namespace {

using testing::ErrorText;

Ref<TGNetObject> LocalObject(int32_t id = 7) {
  return TGNetObject::Create(id, GNET_CREATED, nullptr, nullptr);
}

std::vector<uint8_t> Bytes(const Ref<TGNetBytes>& bytes) {
  if (!bytes) return {};
  return std::vector<uint8_t>(bytes->begin(), bytes->end());
}

Ref<TGNetBytes> Payload(const std::vector<uint8_t>& bytes) {
  auto array = MakeArray<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), array->begin());
  return array;
}

TEST(GNetSlot, IntKindFollowsTheValueAndSetsTheEncodedSize) {
  struct Case {
    int32_t value;
    int32_t kind;
    std::vector<uint8_t> wire;
  };
  const Case cases[] = {
      {0, GNET_BYTE, {0x83, 0}},
      {200, GNET_BYTE, {0x83, 200}},
      {255, GNET_BYTE, {0x83, 255}},
      {256, GNET_SHORT, {0xA3, 1, 0}},
      {300, GNET_SHORT, {0xA3, 1, 44}},
      {65535, GNET_SHORT, {0xA3, 0xFF, 0xFF}},
      {65536, GNET_INT, {0x23, 0, 1, 0, 0}},
      {70000, GNET_INT, {0x23, 0, 1, 0x11, 0x70}},
      {-1, GNET_INT, {0x23, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    auto object = LocalObject();
    object->SetInt(3, c.value);
    EXPECT_EQ(object->slots[3].kind, c.kind) << c.value;
    EXPECT_EQ(Bytes(object->Encode(1u << 3)), c.wire) << c.value;

    auto copy = LocalObject();
    copy->slots[3].SetString(u"was text");
    copy->Decode(object->Encode(~0u));
    EXPECT_EQ(copy->slots[3].kind, c.kind);
    EXPECT_EQ(copy->GetInt(3), c.value);
  }
}

TEST(GNetObject, EncodeCarriesOnlyTheMaskedSlotsInIndexOrder) {
  auto object = LocalObject();
  object->SetString(31, u"h\u0141!");  // characters keep their low 8 bits
  object->SetFloat(2, 1.0f);
  object->SetInt(0, 7);
  EXPECT_EQ(Bytes(object->Encode(~0u)),
            (std::vector<uint8_t>{0x80, 7, 0x42, 0x3C, 0x00, 0x7F, 0, 3, 'h', 0x41, '!'}));
  EXPECT_EQ(Bytes(object->Encode(1u << 2)), (std::vector<uint8_t>{0x42, 0x3C, 0x00}));
  EXPECT_FALSE(object->Encode(1u << 5)) << "an empty slot adds nothing";

  auto copy = LocalObject();
  copy->Decode(object->Encode(~0u));
  EXPECT_EQ(copy->GetString(31), u"hA!");
  EXPECT_EQ(copy->slots[2].kind, GNET_FLOAT);
  EXPECT_EQ(copy->GetFloat(2), 1.0f);
  EXPECT_EQ(copy->slots[5].kind, GNET_EMPTY);
}

TEST(GNetObject, EncodeRefusesPayloadsAbove65520Bytes) {
  auto object = LocalObject();
  object->SetString(0, String(65517, u'x'));
  EXPECT_EQ(object->Encode(1)->Length(), 65520u);
  object->SetString(0, String(65518, u'x'));
  EXPECT_EQ(ErrorText([&] { object->Encode(1); }), "GNet message data too large");
  object->slots[1].kind = 9;
  EXPECT_EQ(ErrorText([&] { object->Encode(2); }), "Invalid GNet data type");
}

TEST(GNetObject, DecodeRefusesBadTagsAndShortFieldsWithoutTouchingSlots) {
  const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
      {{0x00}, "Invalid GNet data type"},  {{0x81, 5, 0xC0, 1}, "Invalid GNet data type"},
      {{0xE0}, "Invalid GNet data type"},  {{0x81, 5, 0x20, 1, 2, 3}, "Corrupt GNet message"},
      {{0x81}, "Corrupt GNet message"},    {{0x41, 0x3C}, "Corrupt GNet message"},
      {{0x61, 0}, "Corrupt GNet message"}, {{0x61, 0, 3, 'a', 'b'}, "Corrupt GNet message"},
  };
  for (const auto& [bytes, text] : cases) {
    auto object = LocalObject();
    object->SetInt(1, 300);
    EXPECT_EQ(ErrorText([&] { object->Decode(Payload(bytes)); }), text);
    EXPECT_EQ(object->GetInt(1), 300);
    EXPECT_EQ(object->slots[1].kind, GNET_SHORT);
  }
  auto object = LocalObject();
  object->Decode(Payload({0x61, 0, 0, 0x81, 9}));
  EXPECT_EQ(object->slots[1].kind, GNET_BYTE) << "the later field of a slot wins";
}

TEST(GNetObject, StatesFollowWritesSyncsAndCloses) {
  auto object = LocalObject();
  object->SetInt(4, 1);
  auto created = object->Sync();
  ASSERT_TRUE(created);
  EXPECT_EQ(created->kind, GNET_CREATED);
  EXPECT_EQ(Bytes(created->payload), (std::vector<uint8_t>{0x84, 1}));
  EXPECT_EQ(object->State(), GNET_SYNCED);
  EXPECT_EQ(object->dirty, 0u);
  EXPECT_FALSE(object->Sync()) << "nothing changed";

  object->SetInt(9, 2);
  EXPECT_EQ(object->State(), GNET_MODIFIED);
  auto modified = object->Sync();
  ASSERT_TRUE(modified);
  EXPECT_EQ(modified->kind, GNET_MODIFIED);
  EXPECT_EQ(Bytes(modified->payload), (std::vector<uint8_t>{0x89, 2})) << "only the changed slot";

  object->target = MakeRef<TObject>();
  object->Close();
  EXPECT_EQ(object->State(), GNET_CLOSING);
  object->Close();
  EXPECT_EQ(object->State(), GNET_CLOSING);
  auto closing = object->Sync();
  ASSERT_TRUE(closing);
  EXPECT_EQ(closing->kind, GNET_CLOSING);
  EXPECT_FALSE(closing->payload);
  EXPECT_EQ(object->State(), GNET_GONE);
  EXPECT_FALSE(object->target);
  EXPECT_FALSE(object->Sync());
  EXPECT_EQ(ErrorText([&] { object->Close(); }), "Illegal object state");

  auto message = TGNetObject::Create(0, GNET_MESSAGE, nullptr, nullptr);
  message->SetInt(0, 1);
  EXPECT_EQ(message->State(), GNET_MESSAGE);
  EXPECT_EQ(ErrorText([&] { message->Close(); }), "Illegal object state");
  EXPECT_EQ(ErrorText([&] { message->SetInt(32, 1); }),
            "Attempt to index array element beyond array length");
}

// Round to nearest with ties away from zero on the magnitude, done with
// frexp/ldexp on doubles rather than on the bit fields.
uint16_t ModelHalf(float value) {
  uint32_t bits = std::bit_cast<uint32_t>(value);
  uint16_t sign = std::signbit(value) ? 0x8000 : 0;
  if (std::isnan(value)) return 0xFFFF;
  if (std::isinf(value)) return sign | 0x7C00;
  double magnitude = std::fabs(static_cast<double>(value));
  if (magnitude == 0 || (bits & 0x7F800000) == 0) return sign;  // zeros and single subnormals
  int exponent;
  double fraction = std::frexp(magnitude, &exponent);  // [0.5, 1)
  double significand = std::floor(std::ldexp(fraction, 11) + 0.5);
  if (significand == 2048) {
    significand = 1024;
    ++exponent;
  }
  int unbiased = exponent - 1;
  if (unbiased > 15) return sign | 0x7C00;
  if (unbiased < -14) return sign;
  return static_cast<uint16_t>(sign | (unbiased + 15) << 10 |
                               (static_cast<int>(significand) - 1024));
}

TEST(GNetHalfFloat, PackingMatchesAnIndependentModelAcrossAllBitClasses) {
  const std::pair<float, uint16_t> edges[] = {
      {1.0f, 0x3C00},
      {65519.0f, 0x7BFF},
      {65520.0f, 0x7C00},
      {-65520.0f, 0xFC00},
      {INFINITY, 0x7C00},
      {NAN, 0xFFFF},
      {-NAN, 0xFFFF},
      {-0.0f, 0x8000},
      {std::ldexp(1.0f, -15), 0x0000},                        // no subnormal output
      {1.0f + std::ldexp(1.0f, -11), 0x3C01},                 // a tie rounds up
      {std::nextafter(std::ldexp(1.0f, -14), 0.0f), 0x0400},  // up into the normals
  };
  for (auto [value, half] : edges) EXPECT_EQ(PackHalfFloat(value), half) << value;

  // Every exponent with the mantissas around each rounding boundary, and a
  // stride through the rest of the bit patterns.
  uint64_t checked = 0;
  auto check = [&](uint32_t bits) {
    float value = std::bit_cast<float>(bits);
    ASSERT_EQ(PackHalfFloat(value), ModelHalf(value)) << std::hex << bits;
    ++checked;
  };
  for (uint32_t sign = 0; sign < 2; ++sign)
    for (uint32_t exponent = 0; exponent < 256; ++exponent)
      for (uint32_t low :
           {0u, 1u, 0xFFFu, 0x1000u, 0x1001u, 0x1FFFu, 0x2000u, 0x7FEFFFu, 0x7FF000u, 0x7FFFFFu})
        check(sign << 31 | exponent << 23 | low);
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 65521) check(static_cast<uint32_t>(bits));
  EXPECT_GT(checked, 60000u);
}

TEST(GNetHalfFloat, UnpackingOfAllValuesMatchesPythonStruct) {
  const std::string path = ::testing::TempDir() + "gnet_halves.bin";
  auto result =
      testing::RunProcess("/usr/bin/python3", {"-c",
                                               "import struct,sys\n"
                                               "out=open(sys.argv[1],'wb')\n"
                                               "for h in range(65536):\n"
                                               "  v=struct.unpack('<e',struct.pack('<H',h))[0]\n"
                                               "  out.write(struct.pack('<f',v))\n",
                                               path});
  ASSERT_TRUE(result.exited && result.status == 0) << result.err;
  std::ifstream file(path, std::ios::binary);
  std::vector<uint32_t> expected(65536);
  file.read(reinterpret_cast<char*>(expected.data()), 65536 * 4);
  ASSERT_TRUE(file);
  int nans = 0;
  for (uint32_t h = 0; h < 65536; ++h) {
    uint32_t ours = std::bit_cast<uint32_t>(UnpackHalfFloat(static_cast<uint16_t>(h)));
    if ((h & 0x7C00) == 0x7C00 && (h & 0x3FF)) {
      EXPECT_TRUE(std::isnan(std::bit_cast<float>(ours))) << h;
      EXPECT_EQ(ours >> 31, h >> 15) << h;
      ++nans;
      continue;
    }
    ASSERT_EQ(ours, expected[h]) << "half " << std::hex << h;
  }
  EXPECT_EQ(nans, 2046);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace kelpora
