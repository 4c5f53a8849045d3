// The committed pictures are exactly what the generator makes from the current
// sources: a change to the painters that was not regenerated shows up here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "asset_support.h"
#include "process.h"

namespace kelpora::assettest {
namespace {

namespace fs = std::filesystem;

TEST(AssetGenerator, ReproducesTheCommittedPicturesTableAndContactSheet) {
  std::string pattern = (fs::temp_directory_path() / "kelpora-assets-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  auto run = testing::RunProcess(
      KELPORA_ASSET_GENERATOR,
      {(dir / "assets").string(), (dir / "docs").string(), "--pictures-only"}, {}, {}, 300000);
  ASSERT_TRUE(run.exited) << run.err;
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> files = {"catalogue.txt"};
  for (const Expected& e : Catalogue())
    if (e.kind != Kind::kOgg) files.push_back(e.name);
  for (const std::string& name : files)
    EXPECT_TRUE(ReadFile((dir / "assets" / name).string()) == ReadFile(AssetPath(name)))
        << name << " differs from a fresh run of the generator";
  EXPECT_TRUE(ReadFile((dir / "docs/contact-sheet.png").string()) ==
              ReadFile(std::string(KELPORA_DOCS_ASSET_DIR) + "/contact-sheet.png"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelpora::assettest
