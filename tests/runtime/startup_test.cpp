// Process tests: the exit path, signals and the start-up directory, checked
// on a real child process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "process.h"

namespace fs = std::filesystem;
using kelpora::testing::ProcessResult;
using kelpora::testing::RunProcess;

namespace {

ProcessResult Probe(const std::string& scenario, const std::string& input = {}) {
  return RunProcess(RUNTIME_PROBE, {scenario}, {}, input);
}

const char* kHooksInReverse = "second hook\nfirst hook\n";

TEST(ExitPath, NormalReturnExitsZeroAfterHooks) {
  auto result = Probe("return");
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kHooksInReverse);
  EXPECT_EQ(result.err, "");
}

TEST(ExitPath, HooksHaveNoLimitAndRunNewestFirst) {
  auto result = Probe("many-hooks");
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  std::string expected;
  for (int i = 99; i >= 0; --i) expected += std::to_string(i) + " ";
  EXPECT_EQ(result.out, expected + kHooksInReverse);
}

// The runtime's own errors and foreign exceptions alike.
TEST(ExitPath, UncaughtErrorPrintsTextWithoutLineEndAndExits255AfterHooks) {
  for (auto [scenario, text] :
       {std::pair{"error", "List index out of range"}, {"std-error", "out of memory"}}) {
    SCOPED_TRACE(scenario);
    auto result = Probe(scenario);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, text);
    EXPECT_EQ(result.out, kHooksInReverse);
  }
}

TEST(ExitPath, InnermostHandlerReceivesTheError) {
  auto result = Probe("handled");
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string("caught inner\ncaught outer\n") + kHooksInReverse);
}

TEST(Signals, TerminateExitsZeroAfterHooks) {
  auto result = Probe("sigterm");
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kHooksInReverse);
}

TEST(Signals, TerminateWhileWaitingEndsTheProgramWithStatusZero) {
  // The runtime's waits leave through the exit path (hooks run); a program
  // that never reaches one is ended by the watchdog without them.
  struct Case {
    const char* scenario;
    std::string out;
  } cases[] = {{"wait-delay", std::string("ready\n") + kHooksInReverse},
               {"wait-tick", std::string("ready\n") + kHooksInReverse},
               {"wait-busy", "ready\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    kelpora::testing::ChildProcess child(RUNTIME_PROBE, {c.scenario});
    ASSERT_TRUE(child.WaitForOutput("ready\n"));
    child.Signal(SIGTERM);
    ProcessResult result = child.Wait(60000);
    ASSERT_TRUE(result.exited) << "signal " << result.signal;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, c.out);
  }
}

TEST(Signals, CrashSignalsRunHooksThenEndByTheSignal) {
  for (auto [scenario, signal] :
       {std::pair{"segv", SIGSEGV}, {"sigbus", SIGBUS}, {"sigtrap", SIGTRAP}}) {
    SCOPED_TRACE(scenario);
    auto result = Probe(scenario);
    EXPECT_FALSE(result.exited);
    ASSERT_TRUE(result.signalled);
    EXPECT_EQ(result.signal, signal);
    EXPECT_EQ(result.out, kHooksInReverse);
  }
}

TEST(StartUp, RelativePathsResolveAgainstTheExecutablesDirectory) {
  fs::path exe = fs::canonical(RUNTIME_PROBE);
  fs::path data = exe.parent_path() / "probe-data.txt";
  std::ofstream(data) << "beside the executable\n";
  fs::path elsewhere = fs::temp_directory_path() / ("kelpora-startup-" + std::to_string(getpid()));
  fs::create_directories(elsewhere);
  std::ofstream(elsewhere / "probe-data.txt") << "in the start directory\n";

  auto result = RunProcess(exe.string(), {"startup", "second arg"}, elsewhere.string());
  fs::remove_all(elsewhere);
  fs::remove(data);

  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  std::string expected =
      "data=beside the executable\n"
      "exeDir=" +
      exe.parent_path().string() +
      "\n"
      "exePath=" +
      exe.string() +
      "\n"
      "startDir=" +
      fs::canonical(elsewhere.parent_path()).string() + "/" + elsewhere.filename().string() +
      "\n"
      "title=Kelpora Application\n"
      "cwd=" +
      exe.parent_path().string() +
      "\n"
      "arg=" +
      exe.string() +
      "\n"
      "arg=startup\n"
      "arg=second arg\n";
  EXPECT_EQ(result.out.substr(0, result.out.find("second hook")), expected);
}

TEST(Console, AnswersAreReadFromStandardInput) {
  auto result = Probe("console", "Yes\nn\n\nlevel.map\n");
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.substr(0, result.out.find("second hook")),
            "Save (Yes/No)?Quit (Yes/No/Cancel)?Quit (Yes/No/Cancel)?Enter a "
            "filename:[level.map]\r\n1 0 -1\n");
}

}  // namespace
