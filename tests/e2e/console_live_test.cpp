// The program at a console in real time, on a module whose flash takes its
// datasheet times: what a person at a terminal types while the flash works,
// and how often the log says that it does.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "module/bin_image_builder.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/temp_module.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kNkBin[] = "\\USB HD\\IMAGES\\nk.bin";
// Two NOR main blocks of the OS image region, block-aligned.
constexpr uint32_t kRecordAt = 0x80000, kRecordBytes = 0x80000;
// A main block erases in a second; drawing and scheduling get the rest.
constexpr auto kLongestStill = std::chrono::milliseconds(1500);
constexpr int kWaitMs = 60000;

// flashwright with `input` as its standard input and its output read line by
// line as it comes, each line with the time it arrived.
class LiveRun {
 public:
  LiveRun(const std::string& dir, std::vector<std::string> switches, int input) {
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    switches.insert(switches.begin(), {BuiltProgram("flashwright"), "--module", dir, "--ui", "console"});
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(input, 0);
      ::dup2(out[1], 1);
      ::dup2(out[1], 2);
      std::vector<char*> args;
      for (std::string& a : switches) args.push_back(a.data());
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~LiveRun() {
    if (pid_ > 0) ::kill(pid_, SIGKILL), Finish();
    ::close(out_);
  }
  // Reads until `text` has arrived after what earlier waits consumed.
  bool Expect(const std::string& text) {
    auto until = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (all_.find(text, consumed_) == std::string::npos) {
      if (Clock::now() > until || !ReadSome()) return false;
    }
    consumed_ = all_.find(text, consumed_) + text.size();
    return true;
  }
  // Reads to the end; the exit status, -1 when it did not exit.
  int Finish() {
    while (ReadSome()) {
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& All() const { return all_; }
  const std::vector<std::pair<Clock::time_point, std::string>>& Lines() const { return lines_; }

 private:
  bool ReadSome() {
    pollfd p = {out_, POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) <= 0) return false;
    char buffer[4096];
    ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    all_.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = all_.find('\n', lineStart_)) != std::string::npos; lineStart_ = end + 1) {
      lines_.emplace_back(Clock::now(), all_.substr(lineStart_, end - lineStart_));
    }
    return true;
  }
  pid_t pid_ = -1;
  int out_ = -1;
  std::string all_;
  size_t consumed_ = 0, lineStart_ = 0;
  std::vector<std::pair<Clock::time_point, std::string>> lines_;
};

std::string RealisticModule() {
  std::string dir = MakeModule({}, "nor");
  SetFault(dir, "flash.timing=realistic");
  return dir;
}

// Two Enters pressed at a terminal while the update runs once answered the
// registry question No and the reset question Yes: the module restarted.
TEST(ConsoleLive, EntersTypedDuringAnUpdateAnswerNoQuestion) {
  std::string dir = RealisticModule();
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  LiveRun run(dir, {}, slave);
  ::close(slave);
  auto type = [&](const std::string& line) { ASSERT_GT(::write(master, (line + "\n").data(), line.size() + 1), 0); };
  ASSERT_TRUE(run.Expect("(? for help)> ")) << run.All();
  type("u");
  ASSERT_TRUE(run.Expect("file name")) << run.All();
  type(kNkBin);
  ASSERT_TRUE(run.Expect("Are you sure you want to continue?")) << run.All();
  ASSERT_TRUE(run.Expect("> ")) << run.All();
  type("y");
  ASSERT_TRUE(run.Expect("Erasing Flash")) << run.All();
  type("");
  type("");
  ASSERT_TRUE(run.Expect("[Clear Registry]")) << run.All();
  ASSERT_TRUE(run.Expect("(2 line(s) typed before this question not taken as its answer)")) << run.All();
  ASSERT_TRUE(run.Expect("(Enter: No) > ")) << run.All();
  type("n");
  ASSERT_TRUE(run.Expect("(Enter: Yes) > ")) << "the reset question waits for its own answer\n" << run.All();
  type("n");
  ASSERT_TRUE(run.Expect("(? for help)> ")) << run.All();
  type("q");
  EXPECT_EQ(run.Finish(), 1) << run.All();
  EXPECT_EQ(run.All().find("restarted"), std::string::npos) << run.All();
  ::close(master);
}

// The log of an update never stands still for more than about a second of
// the flash's work: its erase, block by block, and its programming.
TEST(ConsoleLive, ProgressOfARealisticUpdateNeverStandsStill) {
  std::string dir = RealisticModule();
  std::vector<uint8_t> data(kRecordBytes);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(BinImageBuild(BinSingleRecordImage(kRecordAt, data), &file, &error)) << error;
  ASSERT_TRUE(BinImageStore(dir, "area.bin", file, &error)) << error;
  int input[2];
  ASSERT_EQ(::pipe(input), 0);
  ::close(input[1]);
  LiveRun run(dir, {"/u", "\\USB HD\\IMAGES\\area.bin"}, input[0]);
  ::close(input[0]);
  ASSERT_EQ(run.Finish(), 1) << run.All();
  const auto& lines = run.Lines();
  size_t first = 0;
  while (first < lines.size() && lines[first].second.find("Erasing Flash") == std::string::npos) first++;
  ASSERT_LT(first, lines.size()) << run.All();
  size_t erases = 0;
  for (size_t i = first + 1; i < lines.size(); i++) {
    erases += lines[i].second.find("Erasing Flash") != std::string::npos;
    EXPECT_LE(lines[i].first - lines[i - 1].first, kLongestStill)
        << "still before line " << i << ": " << lines[i].second << "\n"
        << run.All();
  }
  EXPECT_GE(erases, 2u) << "each block of the erase is a line\n" << run.All();
}

}  // namespace
