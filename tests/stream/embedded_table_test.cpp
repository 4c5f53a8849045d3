// Files embedded at build time: the generated table and their registration.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "runtime/errors.h"
#include "stream/incbin.h"
#include "stream/stream.h"
#include "testFiles.h"

using namespace kelpora;

namespace {

std::vector<uint8_t> ReadSourceFile(const std::string& name) {
  std::ifstream in(std::string(SOURCE_ROOT) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(EmbeddedTable, HoldsEveryFileUnchangedUnderItsName) {
  ASSERT_EQ(testFiles.count, 2u);
  for (const char* name : {"vex2d/kelpfont.bin", "game/assets/DATAS/lune.png"}) {
    SCOPED_TRACE(name);
    const TEmbeddedFile* file = FindEmbeddedFile(testFiles, name);
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> expected = ReadSourceFile(name);
    ASSERT_EQ(file->size, expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file->data));
  }
  EXPECT_EQ(FindEmbeddedFile(testFiles, "vex2d/KELPFONT.BIN"), nullptr);
}

TEST(EmbeddedTable, RegisteredFilesOpenAsIncbinUrls) {
  InitStreamModule();
  InitIncbinModule();
  String url = RegisterEmbeddedFile(testFiles, u"game/assets/DATAS/lune.png");
  EXPECT_EQ(url, u"incbin::game/assets/DATAS/lune.png");
  EXPECT_EQ(FindResourceSize(u"game/assets/DATAS/lune.png"), 4287);
  EXPECT_EQ(LoadAllBytes(url), ReadSourceFile("game/assets/DATAS/lune.png"));
  // Registering again changes nothing (the first registration wins).
  EXPECT_EQ(RegisterEmbeddedFile(testFiles, u"game/assets/DATAS/lune.png"), url);
  EXPECT_THROW(RegisterEmbeddedFile(testFiles, u"missing.png"), TRuntimeError);
}

}  // namespace
