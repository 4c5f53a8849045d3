#include "stream/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "raw_peer.h"
#include "runtime/text.h"
#include "stream/socket.h"
#include "temp_dir.h"

namespace kelpora {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// Runs the test from `dir` and goes back afterwards.
struct InDirectory {
  explicit InDirectory(const fs::path& dir) { fs::current_path(dir); }
  ~InDirectory() { fs::current_path(previous); }
  fs::path previous = fs::current_path();
};

void Touch(const fs::path& path, const std::string& content = "x") {
  std::ofstream(path, std::ios::binary) << content;
}

String U(const fs::path& path) { return FromBytes(path.string()); }

std::set<String> Names(const Ref<TArray<String>>& list) { return {list->begin(), list->end()}; }

TEST(FileSystemTest, PathTexts) {
  EXPECT_EQ(FixPath(u"a\\b\\", 1), u"a/b");
  EXPECT_EQ(FixPath(u"/", 1), u"/");
  EXPECT_EQ(StripDir(u"a/b/c.txt"), u"c.txt");
  EXPECT_EQ(StripExt(u"dir.old/file"), u"dir.old/file");
  EXPECT_EQ(ExtractExt(u"dir.old/file"), u"");
  EXPECT_EQ(StripExt(u"a/b.tar.gz"), u"a/b.tar");
  EXPECT_EQ(ExtractExt(u"a/b.tar.gz"), u"gz");
  EXPECT_EQ(StripAll(u"a/b.c"), u"b");
  EXPECT_EQ(ParentDir(u"/a"), u"/");
  EXPECT_EQ(ParentDir(u"/"), u"<bad_dir>");
  EXPECT_EQ(ParentDir(u"a"), u"<bad_dir>");
  EXPECT_EQ(ParentDir(u"a/b/"), u"<bad_dir>");
}

TEST(FileSystemTest, RealPathResolvesDotsUpToTheRoot) {
  EXPECT_EQ(RealPath(u"/a/./b/../c"), u"/a/c");
  EXPECT_EQ(RealPath(u"/a/.."), u"/");
  EXPECT_EQ(RealPath(u"/a/b/../../x"), u"/x");
  EXPECT_EQ(RealPath(u"/.."), u"<bad_dir>");
  EXPECT_EQ(RealPath(u"/a/../.."), u"<bad_dir>");
  EXPECT_EQ(RealPath(u"\\a\\\\b\\"), u"/a/b");
  TempDir dir;
  InDirectory here(dir.path());
  String cwd = CurrentDir();
  EXPECT_EQ(cwd, U(fs::current_path()));
  EXPECT_EQ(RealPath(u""), cwd);
  EXPECT_EQ(RealPath(u"."), cwd);
  EXPECT_EQ(RealPath(u"x/../y/./z"), cwd + u"/y/z");
}

TEST(FileSystemTest, CurrentDirLongerThanAKilobyte) {
  TempDir dir;
  fs::path deep = dir.path();
  std::string level(200, 'd');
  for (int i = 0; i < 8; ++i) deep /= level + std::to_string(i);
  fs::create_directories(deep);
  InDirectory here(dir.path());
  for (int i = 0; i < 8; ++i) ASSERT_EQ(ChangeDir(FromBytes(level + std::to_string(i) + "/")), 1);
  String cwd = CurrentDir();
  EXPECT_GT(cwd.size(), 1600u);
  EXPECT_EQ(cwd, U(deep));
  EXPECT_EQ(ChangeDir(u"no-such-dir"), 0);
}

TEST(FileSystemTest, FilesTheirTypesSizesTimesAndModes) {
  TempDir dir;
  String file = U(dir.path() / "f.bin");
  EXPECT_EQ(FileSize(file), -1);
  Touch(dir.path() / "f.bin", "12345");
  EXPECT_EQ(FileType(file), FILETYPE_FILE);
  EXPECT_EQ(FileType(U(dir.path())), FILETYPE_DIR);
  EXPECT_EQ(FileSize(file), 5);
  EXPECT_NEAR(static_cast<double>(FileTime(file)), static_cast<double>(time(nullptr)), 5);
  EXPECT_EQ(SetFileMode(file, 0640), 1);
  EXPECT_EQ(FileMode(file), 0640);

  EXPECT_EQ(CreateFile(file), 1);  // replaced by an empty file
  EXPECT_EQ(FileSize(file), 0);
  String moved = U(dir.path() / "g.bin");
  EXPECT_EQ(RenameFile(file, moved), 1);
  EXPECT_EQ(FileType(file), FILETYPE_NONE);
  EXPECT_EQ(RenameFile(file, moved), 0);
  EXPECT_EQ(DeleteFile(moved), 1);
  EXPECT_EQ(DeleteFile(U(dir.path())), 0);  // not a file
  EXPECT_EQ(CreateFile(U(dir.path() / "missing" / "f")), 0);
}

TEST(FileSystemTest, CreateDirMakesEveryLevelUnlessAFileIsInTheWay) {
  TempDir dir;
  InDirectory here(dir.path());
  EXPECT_EQ(CreateDir(u"a/b/c", 0), 0);
  EXPECT_EQ(CreateDir(u"a\\b\\c\\", 1), 1);
  EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b" / "c"));
  EXPECT_EQ(CreateDir(u"a/b/c", 1), 1);  // already there
  EXPECT_EQ(CreateDir(u"a/d", 0), 1);

  Touch(dir.path() / "a" / "file");
  EXPECT_EQ(CreateDir(u"a/file/x/y", 1), 0);
  EXPECT_FALSE(fs::exists(dir.path() / "a" / "file" / "x"));
  EXPECT_EQ(CreateDir(u"a/file", 0), 0);
}

TEST(FileSystemTest, ListingsWithAndWithoutDots) {
  TempDir dir;
  Touch(dir.path() / "one");
  Touch(dir.path() / ".hidden");
  fs::create_directory(dir.path() / "sub");
  std::set<String> entries{u"one", u".hidden", u"sub"};
  EXPECT_EQ(Names(LoadDir(U(dir.path()), 1)), entries);
  entries.insert({u".", u".."});
  EXPECT_EQ(Names(LoadDir(U(dir.path()) + u"/", 0)), entries);
  EXPECT_EQ(LoadDir(U(dir.path() / "missing"), 1)->Length(), 0u);

  EXPECT_EQ(ReadDir(U(dir.path() / "missing")), nullptr);
  EXPECT_EQ(NextFile(nullptr), u"");
}

// The tree to delete holds names that also exist in the working directory,
// and a link to a directory outside the tree.
TEST(FileSystemTest, DeleteDirStaysInsideItsTree) {
  TempDir dir;
  fs::path victim = dir.path() / "victim", other = dir.path() / "other",
           outside = dir.path() / "outside";
  for (const fs::path& root : {victim, other}) {
    fs::create_directories(root / "sub" / "deeper");
    Touch(root / "same.txt");
    Touch(root / "sub" / "same.txt");
    Touch(root / "sub" / "deeper" / "same.txt");
  }
  fs::create_directory(outside);
  Touch(outside / "precious.txt");
  fs::create_directory_symlink(outside, victim / "link");
  fs::create_directory_symlink(outside, victim / "sub" / "link2");
  fs::create_symlink(outside / "precious.txt", victim / "file-link");

  InDirectory here(other);
  EXPECT_EQ(DeleteDir(U(victim), 0), 0);  // not empty
  EXPECT_TRUE(fs::exists(victim / "same.txt"));
  EXPECT_EQ(DeleteDir(U(victim) + u"/", 1), 1);
  EXPECT_FALSE(fs::exists(victim));
  EXPECT_TRUE(fs::exists(other / "same.txt"));
  EXPECT_TRUE(fs::exists(other / "sub" / "same.txt"));
  EXPECT_TRUE(fs::exists(other / "sub" / "deeper" / "same.txt"));
  EXPECT_TRUE(fs::exists(outside / "precious.txt"));

  // A path that is itself a link is not emptied through it, whatever
  // slashes and dots follow it; "link/.." would reach the folder around
  // `outside`, which holds everything here.
  fs::create_directory_symlink(outside, dir.path() / "top-link");
  for (const char16_t* tail : {u"", u"/", u"//", u"/.", u"/./", u"//.//.", u"/.."}) {
    SCOPED_TRACE(::testing::PrintToString(ToBytes(tail)));
    EXPECT_EQ(DeleteDir(U(dir.path() / "top-link") + tail, 1), 0);
    EXPECT_TRUE(fs::exists(outside / "precious.txt"));
    EXPECT_TRUE(fs::is_symlink(dir.path() / "top-link"));
  }
  fs::create_directories(dir.path() / "plain" / "inner");
  EXPECT_EQ(DeleteDir(U(dir.path() / "plain") + u"//.", 1), 1);
  EXPECT_FALSE(fs::exists(dir.path() / "plain"));
  EXPECT_EQ(DeleteDir(U(dir.path() / "missing"), 1), 0);
  fs::create_directory(dir.path() / "empty");
  EXPECT_EQ(DeleteDir(U(dir.path() / "empty"), 0), 1);
}

// Paths go to the system one byte per character: a character above 255 or a
// NUL cannot be spelled, so such a name is missing, never a shorter or other
// name ("\u012F" would become "/").
TEST(FileSystemTest, NamesTheSystemCannotSpellAreMissing) {
  TempDir dir;
  InDirectory here(dir.path());
  Touch("victim");
  Touch("victim.bak");
  fs::create_directories("photos/2020");
  Touch("photos/2020/one.jpg");
  fs::create_directory("x");
  Touch("x/y");
  auto untouched = [&] {
    EXPECT_TRUE(fs::exists("victim") && fs::exists("victim.bak") && fs::exists("x/y"));
    EXPECT_TRUE(fs::exists("photos/2020/one.jpg"));
    EXPECT_EQ(Names(LoadDir(u".", 1)),
              (std::set<String>{u"victim", u"victim.bak", u"photos", u"x"}));
  };
  const String names[] = {u"victim\u0100.bak", String(u"victim\0.bak", 11), u"x\u012Fy",
                          u"photos\u0100old",  String(u"photos\0old", 10),  u"\u0100"};
  for (const String& name : names) {
    SCOPED_TRACE(::testing::PrintToString(ToBytes(name)));
    EXPECT_EQ(FileType(name), FILETYPE_NONE);
    EXPECT_EQ(FileSize(name), -1);
    EXPECT_EQ(FileTime(name), 0);
    EXPECT_EQ(FileMode(name), -1);
    EXPECT_EQ(SetFileMode(name, 0600), 0);
    EXPECT_EQ(DeleteFile(name), 1);  // nothing there, as for any missing file
    EXPECT_EQ(DeleteDir(name, 1), 0);
    EXPECT_EQ(DeleteDir(name, 0), 1);
    EXPECT_EQ(CreateFile(name), 0);
    EXPECT_EQ(CreateDir(name, 0), 0);
    EXPECT_EQ(CreateDir(name + u"/sub", 1), 0);
    EXPECT_EQ(RenameFile(name, u"moved"), 0);
    EXPECT_EQ(RenameFile(u"victim.bak", name), 0);
    EXPECT_EQ(ChangeDir(name), 0);
    EXPECT_EQ(ReadDir(name), nullptr);
    EXPECT_EQ(LoadDir(name, 1)->Length(), 0u);
    EXPECT_FALSE(OpenForReading(name));
    EXPECT_FALSE(OpenForReading(UpperAscii(name)));  // nor through the letter-case fallback
    EXPECT_FALSE(OpenForWriting(name));
    EXPECT_FALSE(OpenUrlStream(name, 1, 1));
    EXPECT_EQ(ResolvePathCase(name), u"");
    EXPECT_EQ(CurrentDir(), U(dir.path()));
    untouched();
  }
  // Every name a listing gives still opens, bytes above 127 included.
  Touch(dir.path() / "caf\xe9", "latin");
  ASSERT_TRUE(Names(LoadDir(u".", 1)).contains(u"caf\u00e9"));
  EXPECT_EQ(LoadAllText(u"caf\u00e9"), u"latin");
  EXPECT_EQ(FileType(u"CAF\u00e9"), FILETYPE_NONE);
  EXPECT_TRUE(OpenForReading(u"CAF\u00e9"));
}

// With the working directory removed a relative path has no base: it fails
// instead of resolving against the root.
TEST(FileSystemTest, RelativePathsFailWhenTheWorkingDirectoryIsGone) {
  TempDir dir;
  fs::create_directory(dir.path() / "gone");
  InDirectory here(dir.path() / "gone");
  fs::remove(dir.path() / "gone");
  std::string name = "kelpora-stray-" + std::to_string(getpid());
  EXPECT_EQ(CurrentDir(), u"");
  EXPECT_EQ(RealPath(u"sub"), u"<bad_dir>");
  EXPECT_EQ(RealPath(u"."), u"<bad_dir>");
  EXPECT_EQ(RealPath(u""), u"<bad_dir>");
  EXPECT_EQ(RealPath(u"/a/../b"), u"/b");
  EXPECT_EQ(CreateDir(FromBytes(name), 1), 0);
  bool stray = fs::exists("/" + name);
  if (stray) fs::remove("/" + name);
  EXPECT_FALSE(stray);
}

TEST(FileSystemTest, SeekableStreams) {
  InitNetworkModule();
  TempDir dir;
  Touch(dir.path() / "plain.bin", "file bytes");
  Ref<TDataStream> file = ReadSeekable(U(dir.path() / "plain.bin"));
  ASSERT_TRUE(file);
  EXPECT_TRUE(RefCast<TFileStream>(file));  // already seekable: kept as it is

  testing::OneShotServer server([](int fd) { testing::SendAll(fd, "socket bytes"); });
  Ref<TDataStream> banked = ReadSeekable(u"tcp::127.0.0.1:" + FormatInt(server.port()));
  ASSERT_TRUE(banked);
  EXPECT_EQ(banked->Size(), 12);
  EXPECT_EQ(banked->Seek(7), 7);
  EXPECT_EQ(banked->ReadTextLine(), u"bytes");
  EXPECT_FALSE(ReadSeekable(U(dir.path() / "missing")));

  std::string received;
  {
    testing::OneShotServer sink([&](int fd) { received = testing::RecvAll(fd); });
    Ref<TDataStream> out = WriteSeekable(u"tcp::127.0.0.1:" + FormatInt(sink.port()));
    ASSERT_TRUE(out);
    out->WriteByteText(u"written");
    out->Close();
  }
  EXPECT_EQ(received, "written");
}

}  // namespace
}  // namespace kelpora
