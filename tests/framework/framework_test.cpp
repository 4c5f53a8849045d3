// The one-call start-up and the reasons a load gives when it finds nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/loaders/ogg_loader.h"
#include "audio/loaders/sample_loader.h"
#include "audio/loaders/wav_loader.h"
#include "framework/kelpora.h"
#include "pixmap/loaders/pixmap_loader.h"

namespace kelpora {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string PNG_SIGNATURE = "\x89PNG\r\n\x1a\n";

class LoadErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelpora-load-errors-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(dir_);
  }
  static void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary) << bytes;
  }
  std::string Cwd() const { return dir_.string(); }

  fs::path dir_;
};

// The first failure of the process is told on standard error once; every one
// is readable afterwards, and a successful load leaves no stale reason.
TEST_F(LoadErrorTest, MissingLoadersAndFilesSayWhy) {
  InitStreamModule();
  Write("picture.png", PNG_SIGNATURE + std::string(40, '\0'));
  Write("song.ogg", "OggS" + std::string(40, '\0'));

  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(LoadPixmap(u"absent.png"));
  const std::string told = ::testing::internal::GetCapturedStderr();
  const std::string missing = "LoadPixmap \"absent.png\": cannot open \"" + Cwd() +
                              "/absent.png\": No such file or directory";
  EXPECT_EQ(ToBytes(LastLoadError()), missing);
  EXPECT_EQ(told, "Kelpora: " + missing + "\n");

  ::testing::internal::CaptureStderr();
  const struct {
    bool (*load)();
    std::string reason;
  } cases[] = {
      {[] { return bool(LoadPixmap(u"picture.png")); },
       "LoadPixmap \"picture.png\": the data is PNG but no PNG loader is registered (call "
       "InitPngLoader or InitKelpora)"},
      {[] { return bool(LoadSample(u"song.ogg")); },
       "LoadSample \"song.ogg\": the data is Ogg but no Ogg loader is registered (call "
       "InitOggLoader or InitKelpora)"},
      {[] { return bool(OpenForReading(u"http::localhost/x")); },
       "OpenUrlStream \"http::localhost/x\": no http protocol is registered (call "
       "InitNetworkModule or InitKelpora)"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(c.load());
    EXPECT_EQ(ToBytes(LastLoadError()), c.reason);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "only the first failure is told";

  static std::vector<std::string> handled;
  SetLoadErrorHandler([](const String& text) { handled.push_back(ToBytes(text)); });
  EXPECT_FALSE(LoadPixmap(u"picture.png"));
  Write("plain.txt", "hello");
  EXPECT_TRUE(OpenForReading(u"plain.txt"));
  EXPECT_EQ(LastLoadError(), u"") << "a load that works clears the last reason";
  SetLoadErrorHandler(nullptr);
  ASSERT_EQ(handled.size(), 1u);
  EXPECT_EQ(handled[0], cases[0].reason);
}

// With the loaders registered, each kind of bad data gets its own reason.
TEST_F(LoadErrorTest, RejectedAndUnknownDataSayWhy) {
  // Twice: start-up may be called again without registering anything twice.
  for (int i = 0; i < 2; ++i) InitKelpora({.graphics = false, .sound = false, .network = false});
  int pictureLoaders = 0;
  for (auto loader = FirstPixmapLoader(); loader; loader = loader->next) ++pictureLoaders;
  EXPECT_EQ(pictureLoaders, 4);
  InitWavLoader();
  InitOggLoader();
  SetLoadErrorHandler([](const String&) {});

  fs::create_directory("folder");
  Write("empty.png", "");
  Write("noise.png", std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09", 10));
  // A signature and the start of the header, then nothing.
  Write("short.png", PNG_SIGNATURE + "\0\0\0\x0dIHDR\0\0"s);
  Write("bad.jpg", "\xff\xd8\xff\xe0" + std::string(60, '\x55'));
  Write("bad.wav", "RIFF\x24\0\0\0WAVEfmt \x10\0\0\0"s + std::string(16, '\0'));
  Write("picture.png", PNG_SIGNATURE + std::string(40, '\0'));
  const struct {
    bool (*load)();
    std::string reason;  // the start of the last error
  } cases[] = {
      {[] { return bool(LoadPixmap(u"folder")); },
       "LoadPixmap \"folder\": cannot open \"" + Cwd() + "/folder\": it is a folder"},
      {[] { return bool(LoadPixmap(u"empty.png")); }, "LoadPixmap \"empty.png\": the data is empty"},
      {[] { return bool(LoadPixmap(u"noise.png")); },
       "LoadPixmap \"noise.png\": no picture loader recognises the data (first bytes 00 01 02 03 "
       "04 05 06 07)"},
      {[] { return bool(LoadPixmap(u"short.png")); },
       "LoadPixmap \"short.png\": the PNG loader rejected the data: the data ends early"},
      {[] { return bool(LoadPixmap(u"bad.jpg")); },
       "LoadPixmap \"bad.jpg\": the JPEG loader rejected the data: "},
      {[] { return bool(LoadSample(u"bad.wav")); },
       "LoadSample \"bad.wav\": the WAV loader rejected the data"},
      {[] { return bool(LoadSample(u"picture.png")); },
       "LoadSample \"picture.png\": no sound loader recognises the data (first bytes 89 50 4E 47 0D "
       "0A 1A 0A)"},
      {[] { return bool(OpenForReading(u"nowhere::x")); },
       "OpenUrlStream \"nowhere::x\": no stream protocol opened it"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(c.load()) << c.reason;
    EXPECT_EQ(ToBytes(LastLoadError()).substr(0, c.reason.size()), c.reason);
  }
  SetLoadErrorHandler(nullptr);
}

}  // namespace
}  // namespace kelpora
