// The example programs run as a user runs them: on a private Xvfb, driven by
// XTEST key presses and pointer moves, and checked by what they draw, print
// and play; each must end with status 0 on Escape or on a close request.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "../e2e/pulse_session.h"
#include "../e2e/x_session.h"
#include "../stream/raw_peer.h"
#include "process.h"

// Last: Xlib's macros clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace kelpora::testing {
namespace {

std::string Example(const char* name) { return std::string(EXAMPLES_DIR) + "/" + name; }

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool Near(const uint8_t* rgb, int r, int g, int b, int tolerance = 8) {
  return std::abs(rgb[0] - r) <= tolerance && std::abs(rgb[1] - g) <= tolerance &&
         std::abs(rgb[2] - b) <= tolerance;
}

// An example in its own window on a private X server.
class ExampleWindow {
 public:
  ExampleWindow(const char* name, const std::vector<std::string>& args,
                std::vector<std::string> env = {}) {
    env.push_back("DISPLAY=" + x.displayName());
    program = std::make_unique<ChildProcess>(Example(name), args, env);
    for (int tries = 0; !x.WatchPresentations(); ++tries) {
      if (tries > 200 || !program->Running()) throw std::runtime_error("no window");
      Sleep(50);
    }
    // Pointer moves count from the first frame on screen: before it the
    // window may not be mapped and would not hear of them. Every example
    // clears to a colour that is not black.
    for (int i = 0; i < 60; ++i) {
      Shot shot = NextFrame();
      if (!Near(shot.At(630, 470), 0, 0, 0, 0)) break;
    }
  }
  // The window as its next presented frame shows it.
  Shot NextFrame() {
    Shot shot;
    if (x.NextPresentations(10000, 0, 0, 640, 480, shot) == 0) ADD_FAILURE() << "no frame";
    return shot;
  }
  void MovePointer(int px, int py) {
    Display* display = XOpenDisplay(x.displayName().c_str());
    ASSERT_NE(display, nullptr);
    XTestFakeMotionEvent(display, 0, px, py, 0);
    XCloseDisplay(display);
  }
  ProcessResult QuitWithEscape() {
    x.TapKey(XK_Escape);
    return program->Wait(10000);
  }

  XSession x;
  std::unique_ptr<ChildProcess> program;
};

void ExpectCleanExit(const ProcessResult& result) {
  EXPECT_TRUE(result.exited) << "signal " << result.signal << "\n" << result.err;
  EXPECT_EQ(result.status, 0) << result.err;
}

TEST(MouseWindowExample, TheMoonFollowsThePointerUnderTheTextAndEscapeQuits) {
  ExampleWindow window("mouse_window", {});
  auto textPixels = [](const Shot& shot) {
    int count = 0;
    for (int y = 8; y < 24; ++y)
      for (int x = 8; x < 400; ++x) count += Near(shot.At(x, y), 255, 230, 140, 2);
    return count;
  };
  auto bright = [](const uint8_t* rgb) { return rgb[0] > 120 && rgb[1] > 120 && rgb[2] > 120; };
  for (auto [px, py] : {std::pair{400, 300}, std::pair{150, 350}}) {
    window.MovePointer(px, py);
    Shot shot;
    // Frames drawn before the move came in still show the old position.
    for (int i = 0; i < 30; ++i) {
      shot = window.NextFrame();
      if (bright(shot.At(px, py))) break;
    }
    EXPECT_TRUE(bright(shot.At(px, py))) << "no moon at " << px << "," << py;
    // The moon is 106 pixels wide: 80 pixels off it is the background.
    EXPECT_TRUE(Near(shot.At(px - 80, py), 16, 24, 48));
    EXPECT_TRUE(Near(shot.At(px, py - 80), 16, 24, 48));
    EXPECT_GT(textPixels(shot), 100) << "no text line";
  }
  ExpectCleanExit(window.QuitWithEscape());
}

TEST(MouseWindowExample, ClosingTheWindowQuits) {
  ExampleWindow window("mouse_window", {});
  window.NextFrame();
  ASSERT_TRUE(window.x.SendCloseRequest());
  ExpectCleanExit(window.program->Wait(10000));
}

// A WAV file is loaded, the same tone as Ogg Vorbis is streamed.
TEST(SoundPlayerExample, PlaysThroughTheSoundServerAndTheKeysSteerIt) {
  // A second of a 440 Hz tone at half scale.
  std::string wav = std::string(::testing::TempDir()) + "/example_tone.wav";
  std::string ogg = std::string(::testing::TempDir()) + "/example_tone.ogg";
  Recording tone;
  tone.rate = 44100;
  for (int i = 0; i < 44100; ++i) {
    auto s = static_cast<int16_t>(16000 * std::sin(2 * M_PI * 440 * i / 44100.0));
    tone.samples.push_back(s);
    tone.samples.push_back(s);
  }
  WriteWav(wav, tone, 0, tone.frames());
  ASSERT_EQ(RunProcess("/usr/bin/oggenc", {"-Q", "-o", ogg, wav}).status, 0);

  for (auto [file, verb] : {std::pair{wav, "playing "}, std::pair{ogg, "streaming "}}) {
    SCOPED_TRACE(file);
    PulseSession pulse;
    pulse.StartRecording();
    ExampleWindow window("sound_player", {file}, pulse.OssEnvironment());
    window.NextFrame();
    // The server may take a moment to start the stream under load.
    Sleep(2500);
    Recording heard = pulse.StopRecording();

    for (KeySym key : {XK_Down, XK_Left, XK_f, XK_space}) {
      window.x.TapKey(key);
      window.NextFrame();
    }
    ProcessResult result = window.QuitWithEscape();
    ExpectCleanExit(result);
    auto [low, high] = std::minmax_element(heard.samples.begin(), heard.samples.end());
    EXPECT_GT(low == high ? 0 : std::max(-int(*low), int(*high)), 4000) << "the tone did not reach the sound server\n" << result.err;
    EXPECT_EQ(result.out, verb + file + "\nvolume 0.9\npan -0.1\nrate 1.1\npaused\n");
  }
}

TEST(SoundPlayerExample, AFileThatIsNoSoundEndsWithStatus1) {
  std::string junk = std::string(::testing::TempDir()) + "/example_junk.wav";
  std::ofstream(junk) << "not a sound";
  ProcessResult result = RunProcess(Example("sound_player"), {junk});
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("cannot load"), std::string::npos);
}

// Each peer on an X server of its own, so that each window and pointer is
// alone on its screen.
TEST(GNetPairExample, EachPeerDrawsTheOtherPeersPointerUntilItLeaves) {
  int probe = RawBound(SOCK_STREAM);
  std::string port = std::to_string(BoundPort(probe));
  close(probe);
  ExampleWindow host("gnet_pair", {"host", port});
  ExampleWindow guest("gnet_pair", {"join", "127.0.0.1", port});

  auto cross = [](const Shot& shot, int x, int y) { return Near(shot.At(x, y), 255, 200, 0, 2); };
  // Waits for a frame of `window` with (or without) the cross at (x, y).
  auto waitFor = [&](ExampleWindow& window, int x, int y, bool shown) {
    Shot shot;
    for (int i = 0; i < 120; ++i) {
      shot = window.NextFrame();
      if (cross(shot, x, y) == shown) break;
    }
    return shot;
  };
  host.MovePointer(200, 150);
  guest.MovePointer(500, 400);
  Shot seenByGuest = waitFor(guest, 200, 150, true);
  EXPECT_TRUE(cross(seenByGuest, 200, 150)) << "the guest does not see the host's pointer";
  EXPECT_TRUE(cross(seenByGuest, 210, 150) && !cross(seenByGuest, 210, 160));
  Shot seenByHost = waitFor(host, 500, 400, true);
  EXPECT_TRUE(cross(seenByHost, 500, 400)) << "the host does not see the guest's pointer";
  EXPECT_FALSE(cross(seenByHost, 200, 150)) << "the host draws its own pointer";

  host.MovePointer(100, 300);
  EXPECT_TRUE(cross(waitFor(guest, 100, 300, true), 100, 300))
      << "the move did not reach the guest";

  ExpectCleanExit(guest.QuitWithEscape());
  EXPECT_FALSE(cross(waitFor(host, 500, 400, false), 500, 400))
      << "the guest's pointer stays after it left";
  ExpectCleanExit(host.QuitWithEscape());
}

// With the same passphrase the peers join and see each other; a third with
// another passphrase is refused, and both sides print why.
TEST(GNetPairExample, KeyedPeersJoinAndAPeerWithAnotherKeyIsRefused) {
  std::string right = std::string(::testing::TempDir()) + "/gnet_pair_key";
  std::string wrong = std::string(::testing::TempDir()) + "/gnet_pair_other_key";
  std::ofstream(right) << "kelp forest\n";
  std::ofstream(wrong) << "sea urchin\n";
  int probe = RawBound(SOCK_STREAM);
  std::string port = std::to_string(BoundPort(probe));
  close(probe);
  ExampleWindow host("gnet_pair", {"host", port, "--key-file", right});
  ExampleWindow guest("gnet_pair", {"join", "127.0.0.1", port, "--key-file", right});
  host.MovePointer(200, 150);
  bool seen = false;
  for (int i = 0; i < 120 && !seen; ++i)
    seen = Near(guest.NextFrame().At(200, 150), 255, 200, 0, 2);
  EXPECT_TRUE(seen) << "the keyed guest does not see the host's pointer";

  ProcessResult refused =
      RunProcess(Example("gnet_pair"), {"join", "127.0.0.1", port, "--key-file", wrong});
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_EQ(refused.out.rfind("refused 127.0.0.1:" + port + ": ", 0), 0u) << refused.out;
  EXPECT_NE(refused.out.find("another session key"), std::string::npos) << refused.out;

  ProcessResult guestResult = guest.QuitWithEscape();
  ExpectCleanExit(guestResult);
  EXPECT_EQ(guestResult.out, "joined 127.0.0.1:" + port + "\n");
  ProcessResult hostResult = host.QuitWithEscape();
  ExpectCleanExit(hostResult);
  std::istringstream lines(hostResult.out);
  std::string joined, refusal, rest;
  std::getline(lines, joined);
  std::getline(lines, refusal);
  EXPECT_EQ(joined.rfind("joined 127.0.0.1:", 0), 0u) << hostResult.out;
  EXPECT_EQ(refusal.rfind("refused 127.0.0.1:", 0), 0u) << hostResult.out;
  EXPECT_NE(refusal.find("another session key"), std::string::npos) << hostResult.out;
  EXPECT_FALSE(std::getline(lines, rest)) << hostResult.out;
}

TEST(UrlCatExample, PrintsFilesEmbeddedFilesEncodedTextAndHttp) {
  std::string path = std::string(::testing::TempDir()) + "/example_cafe.txt";
  std::ofstream(path) << "caf\xc3\xa9\r\nsecond\n";
  std::string body = "over http\nline two";
  OneShotServer server([&](int fd) {
    std::string request;
    char c;
    while (request.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) request += c;
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body);
  });
  std::string http = "http::127.0.0.1:" + std::to_string(server.port()) + "/notes.txt";

  // Relative paths are taken from the directory it starts in.
  ProcessResult result = RunProcess(
      Example("url_cat"), {"incbin::greeting.txt", "utf8::" + path, "example_cafe.txt", http},
      ::testing::TempDir());
  EXPECT_TRUE(result.exited && result.status == 0) << result.err;
  // Without "utf8::" each byte is a character of its own.
  EXPECT_EQ(result.out,
            "Hello from inside url_cat.\n"
            "caf\xc3\xa9\nsecond\n"
            "caf\xc3\x83\xc2\xa9\nsecond\n"
            "over http\nline two\n");

  result = RunProcess(Example("url_cat"), {"incbin::greeting.txt", "no/such/file"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Hello from inside url_cat.\n");
  EXPECT_NE(result.err.find("url_cat: OpenUrlStream \"no/such/file\": cannot open \"/"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("/no/such/file\": No such file or directory\n"), std::string::npos);
}

}  // namespace
}  // namespace kelpora::testing
