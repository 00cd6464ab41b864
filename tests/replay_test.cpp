// Damaged or hand-edited recordings: the replay stops at the first line that is not a
// record, or that does not fit what the game asks for there, and names that line.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#undef CreateEvent  // the game's own name, which windows.h would turn into its wide function's
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#endif
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/sound_bank.h"
#include "game/main_form.h"
#include "platform/call_log.h"
#include "platform/input_hub.h"
#include "platform/line_file.h"
#include "platform/recording.h"
#include "platform/virtual/virtual_platform.h"
#include "temp_folder.h"

namespace palomir {
namespace {

// The lines of a recording with their numbers, as the replay reads them.
std::vector<std::pair<int, std::string>> Numbered(std::istream&& in) {
  std::vector<std::pair<int, std::string>> lines;
  for (std::string l; std::getline(in, l);)
    lines.emplace_back(static_cast<int>(lines.size()) + 1, l);
  return lines;
}

// Replays `text` as a recording from its start, read as the game asks; what stopped it.
std::string Replayed(const std::string& text) {
  std::istringstream in(text);
  int number = 0;
  VirtualPlatform vp;
  ProgramObjects o;
  MainForm f(vp, o);
  f.on_error = [](const std::string&) {};
  try {
    vp.StartReplay(Replay(Replay::LinesOf(in, number)));
    if (!f.Form_Load()) return "cannot play";
    vp.RunMessageLoop();
  } catch (const ReplayError& e) {
    return e.what();
  } catch (const ReplayEnded&) {
    return "ended";
  } catch (const WindowUnloaded&) {
    return "closed";
  }
  return "?";
}

// The start of a real recording: the machine's answers as the window loads.
const std::string kStart =
    "outcome voice ok\noutcome sound ok\n"
    "outcome file buzz.wav ok\noutcome file goal.wav ok\noutcome file puck.wav ok\n"
    "outcome file SideBounce.wav ok\noutcome file rebound.wav ok\noutcome file paddle.wav ok\n"
    "outcome file OpponentHit.wav ok\noutcome file opponentpaddleslide.wav ok\n"
    "outcome file paddleslide.wav ok\noutcome file background.wav ok\n";  // 12 lines

TEST(Replay, StopsAtTheFirstBadLineAndNamesIt) {
  struct Row {
    std::string recording;
    std::string stops;  // the start of what the replay says
  };
  for (const Row& r : {
           Row{kStart + "clock 36000\nclock 36000.5\npump\nclose\n", "closed"},
           Row{kStart + "clock 36000\n", "ended"},  // cut off: the game still asks
           // Cut mid-line by a full disk: played to the last whole line.
           Row{kStart + "clock 36000\nti", "ended"},
           Row{kStart + "clock 36000\nclock 36000.5\npump\nclos", "ended"},
           Row{kStart + "clock 36000\nclock 36000.5\npump\nclose", "ended"},
           Row{"frobnicate\n", "line 1: 'frobnicate' is not a record of a game"},
           Row{kStart + "tick 7\n", "line 13: no timer 7"},
           Row{kStart + "tick 4\n", "line 13: no timer 4"},
           Row{kStart + "tick -1\n", "line 13: no timer -1"},
           Row{kStart + "tick 0\n", "line 13: the game asked for 'clock'"},  // a timer, not here
           Row{kStart + "tick 3\n", "line 13: the game asked for 'clock'"},
           Row{kStart + "clock -3\n", "line 13: '-3' is not a time of day"},
           Row{kStart + "clock 1e9\n", "line 13: '1e9' is not a time of day"},
           Row{kStart + "clock noon\n", "line 13: 'noon' is not a time of day"},
           // A NUL inside a number.
           Row{kStart + std::string("clock \0\n", 8), "line 13: '?' is not a time of day"},
           Row{std::string("tick 1\0\n", 8), "line 1: '1?' is not a whole number"},
           Row{kStart + "input key down 999\n", "line 13: not an input"},
           Row{kStart + "input key down 0\n", "line 13: not an input"},
           Row{kStart + "input key down 256\n", "line 13: not an input"},
           Row{kStart + "input mouse button -1 down\n", "line 13: not an input"},
           Row{kStart + "clock 86400\n", "line 13: '86400' is not a time of day"},
           Row{"capture\n", "line 1: an outcome is ok or fail"},
           Row{kStart + "input mouse move 1\n", "line 13: not an input"},
           Row{kStart + "input mouse button 3 down\n", "line 13: not an input"},
           Row{kStart + "input mouse button 1 sideways\n", "line 13: not an input"},
           Row{kStart + "input focus elsewhere\n", "line 13: not an input"},
           // Well formed inputs are taken where the game asks for the clock: they fit only
           // inside a pump.
           Row{kStart + "input mouse button 1 down\n", "line 13: the game asked for 'clock'"},
           Row{kStart + "input mouse move 1 99999999999\n",
               "line 13: '99999999999' is not a whole"},
           // A layout's labels, by codes of the keys a layout moves about.
           Row{kStart + "clock 36000\nclock 36000.5\npump\nkeys 21=z 44=y\nclose\n", "closed"},
           Row{"keys 1=x\n", "line 1: not the labels of a layout's keys"},  // Escape
           Row{"keys 300=x\n", "line 1: not the labels"},
           Row{"keys 21\n", "line 1: not the labels"},
           Row{"keys =x\n", "line 1: not the labels"},
           Row{"keys 21=%4\n", "line 1: not the labels"},
           Row{"keys 21=%zz\n", "line 1: not the labels"},
           Row{"outcome voice maybe\n", "line 1: an outcome is ok or fail"},
           Row{"outcome sound ok\n",
               "line 1: the game asked for the outcome of its voice here, and the recording has "
               "its sound"},
           Row{"outcome\n", "line 1: an outcome needs"},
           Row{"pump extra\n", "line 1: 'pump' has the wrong number"},
           Row{"tick 1 2\n", "line 1: 'tick' has the wrong number"},
           Row{"clock 36000 1\n", "line 1: 'clock' has the wrong number"},
           // Well formed, but not what the game asks for there.
           Row{"outcome voice ok\nclock 36000\n", "line 2: the game asked for 'outcome'"},
           Row{kStart + "pump\n", "line 13: the game asked for 'clock'"},
           Row{kStart + "clock 36000\nclock 36000.5\npump\ntick 3\n",
               "line 16: timer 3 cannot tick"},
           // A bad line while the mouse is taken: giving it back on the way out still works.
           Row{kStart + "clock 36000\nclock 36000.5\npump\ninput focus gained\ncapture "
                        "ok\ndone\nheard\n",
               "line 19: the game asked for 'clock'"},
           // ... also when the line after it is not a record at all.
           Row{kStart + "clock 36000\nclock 36000.5\npump\ninput focus gained\ncapture "
                        "ok\ntick 3\nfrobnicate\n",
               "line 18: timer 3 cannot tick"},
       }) {
    const std::string got = Replayed(r.recording);
    EXPECT_EQ(got.rfind(r.stops, 0), 0u) << got << "\n--- from ---\n" << r.recording;
  }
}

TEST(Replay, TheMachinesAnswersAreTheRecordedOnes) {
  // A sound file that failed for the player fails in the replay, with the player's reason.
  std::string text = kStart.substr(0, kStart.find("outcome file rebound.wav"));
  text += "outcome file rebound.wav fail is not a sound the game can play (empty file)\n";
  std::vector<std::string> errors;
  const auto lines = Numbered(std::istringstream(text + "heard\n"));
  VirtualPlatform vp;
  ProgramObjects o;
  MainForm f(vp, o);
  f.on_error = [&](const std::string& e) { errors.push_back(e); };
  vp.StartReplay(Replay::Parse(lines));
  EXPECT_FALSE(f.Form_Load());
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0],
            "the sound file /palomir/sounds/rebound.wav is not a sound the game can play "
            "(empty file)");
}

TEST(Recording, EveryRecordReadsBackAsWritten) {
  using K = RawInput::Kind;
  const RawInput inputs[] = {
      RawInput::KeyDown(1),       RawInput::KeyUp(255),
      RawInput::KeyDown(200),     RawInput::MouseMove(INT32_MIN, INT32_MAX),
      RawInput::MouseMove(-3, 0), RawInput::Button(0, true),
      RawInput::Button(2, false), RawInput::FocusLost(),
      RawInput::FocusGained(),    RawInput::PadAdded(),
      RawInput::PadRemoved(),
  };
  VirtualPlatform day;
  day.SetTimeOfDay(86399.9999);  // so close to midnight that it rounds up to it
  const float clocks[] = {0.0f, 36000.5f, 86399.99f, 45296.123f, day.TimeOfDay()};
  // A layout's labels: a letter moved, one of two bytes, one a recording would take for a
  // comment, a space, none at all.
  struct Odd final : KeyLabels {
    std::string LabelAt(uint8_t code) const override {
      const std::pair<uint8_t, const char*> odd[] = {{0x15, "z"}, {0x27, "\xC3\xB6"},
                                                     {0x2B, "#"}, {0x29, " %"},
                                                     {0x0C, ""}};
      for (const auto& [place, label] : odd) {
        if (place == code) return label;
      }
      return UsKeyLabels().LabelAt(code);
    }
  } odd;
  TakenLabels labels;
  EXPECT_TRUE(labels.Take(odd));
  EXPECT_FALSE(labels.Take(odd));
  const std::string path = ::testing::TempDir() + "/palomir-records";
  ::testing::internal::CaptureStderr();
  {
    LineFile file(path, "recording");
    Recorder rec(file);
    for (const RawInput& in : inputs) rec.Input(in);
    for (float c : clocks) rec.Clock(c);
    rec.Outcome("voice", Status::Fail("two\nlines"));
    rec.Capture(Status::Ok());
    rec.Keys(labels);
  }
  const auto lines = Numbered(std::ifstream(path));
  std::remove(path.c_str());
  const std::deque<Replay::Record> records = Replay::Parse(lines);
  ASSERT_EQ(records.size(), std::size(inputs) + std::size(clocks) + 3);
  size_t i = 0;
  for (const RawInput& want : inputs) {
    const RawInput got = Replay::InputOf(records[i++]);
    EXPECT_TRUE(got.kind == want.kind && got.a == want.a && got.b == want.b) << lines[i - 1].second;
  }
  EXPECT_EQ(lines[0].second, "input key down 1");
  EXPECT_EQ(Replay::InputOf(records[1]).kind, K::kKeyUp);
  for (float want : clocks) EXPECT_EQ(Replay::ClockOf(records[i++]), want);  // to the last bit
  const Status voice = Replay::StatusOf(records[i++], 2);
  EXPECT_EQ(voice.reason(), "two lines");
  EXPECT_TRUE(Replay::StatusOf(records[i++], 1).ok());
  EXPECT_EQ(lines[i].second, "keys 12= 21=z 39=\xC3\xB6 41=%20%25 43=%23");
  const TakenLabels read = Replay::LabelsOf(records[i++]);
  for (uint8_t code = 0; code < 0x40; ++code) EXPECT_EQ(read.LabelAt(code), labels.LabelAt(code));

  // However fast the lines come, no more than 64 KiB wait in memory.
  {
    LineFile file(path, "recording");
    for (int round = 1; round <= 2; ++round) {
      for (int line = 0; line < 1024; ++line) file.Line(std::string(63, 'x'));  // 64 bytes each
      struct stat st {};
      ASSERT_EQ(stat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_size, round * 65536);
    }
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // nothing went wrong
  std::remove(path.c_str());
}

TEST(Recording, AFileIsKnownByWhatItIsNotByItsNameAndAnEarlierOneIsKept) {
  // A folder with a name beyond ASCII, as a player's own folder may have.
  const std::filesystem::path dir = testing::MakeTempFolder(testing::kPlayersFolder);
  const std::string game = testing::Utf8(dir / "game.rec");
  const std::string other = testing::Utf8(dir / "other.rec");
  // The same file by another name (the folder's "." on the way), and a different file.
  const std::string again = testing::Utf8(dir / "." / "game.rec");
  std::ofstream(dir / "game.rec", std::ios::binary) << "# palomir earlier\n";
  {
    LineFile a(game, "recording"), b(again, "trace"), c(other, "trace");
    ASSERT_TRUE(a.ok() && b.ok() && c.ok()) << a.error() << b.error() << c.error();
    EXPECT_EQ(a.first_line(), "# palomir earlier");
    EXPECT_TRUE(a.SameFileAs(b));
    EXPECT_FALSE(a.SameFileAs(c));  // two files, however alike (both new and empty)
    b.Discard();
#ifndef _WIN32  // (Windows removes no file still open: the check below says it there)
    auto open_files = [] {
      return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto open_before = open_files();
    c.Discard();  // made by this run: removed again, and let go of
    EXPECT_EQ(open_files(), open_before - 1);
#else
    c.Discard();
#endif
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "other.rec"));
  // A file that starts blank is not known for the game's own either.
  std::ofstream(dir / "notes", std::ios::binary) << "\nbuy milk\n";
  EXPECT_EQ(LineFile(testing::Utf8(dir / "notes"), "recording").first_line(), "?");
  // Kept as game.rec.1, then game.rec.2 beside it: nothing already there is replaced.
  for (const char* kept : {".1", ".2"}) {
    LineFile a(game, "recording");
    std::string kept_as;
    ASSERT_TRUE(a.Begin(true, kept_as)) << a.error();
    EXPECT_EQ(kept_as, game + kept);
    a.Line(std::string("# palomir ") + kept);
  }
  // A trace is emptied and written again from its start.
  {
    LineFile a(game, "trace");
    std::string kept_as;
    ASSERT_TRUE(a.Begin(false, kept_as));
    EXPECT_EQ(kept_as, "");
    a.Line("call");
  }
  auto text = [&](const std::string& name) {
    std::ifstream in(testing::U8Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(text(game + ".1"), "# palomir earlier\n");
  EXPECT_EQ(text(game + ".2"), "# palomir .1\n");  // written as on Linux: no CR
  EXPECT_EQ(text(game), "call\n");
#ifndef _WIN32  // a player's links are Linux's
  // Named through a link: the file it leads to is kept beside itself, and the new one made
  // under its name, the link left as it is.
  std::filesystem::create_symlink(dir / "game.rec", dir / "latest.rec");
  {
    LineFile a(testing::Utf8(dir / "latest.rec"), "recording");
    std::string kept_as;
    ASSERT_TRUE(a.Begin(true, kept_as)) << a.error();
    EXPECT_TRUE(kept_as.ends_with("/game.rec.3")) << kept_as;
    a.Line("# palomir through the link");
  }
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "latest.rec"));
  EXPECT_EQ(text(game + ".3"), "call\n");
  EXPECT_EQ(text(game), "# palomir through the link\n");
#endif
  std::filesystem::remove_all(dir);
}

TEST(Trace, WhatEachCallShows) {
  struct Log final : CallLog {
    std::vector<std::string> lines;
    void Record(const Call& c) override {
      lines.push_back(c.object + " " + c.op + " " + std::to_string(c.arg) +
                      (c.failed ? " failed" : ""));
    }
    void Said(const std::string&, int32_t) override {}
  } log;
  InputHub hub([](bool) { return Status::Ok(); }, [] { return Micros{0}; });
  auto root = LoggedDxRoot(log, std::make_unique<HubDxRoot>(hub, nullptr));
  std::unique_ptr<InputRoot> input;
  std::unique_ptr<InputDevice> mouse;
  ASSERT_TRUE(root->DirectInputCreate(input).ok());
  ASSERT_TRUE(input->CreateDevice("guid_SysMouse", mouse).ok());
  ASSERT_TRUE(mouse->SetCommonDataFormat(kFormatMouse).ok());
  ASSERT_TRUE(mouse->SetCooperativeLevel(1, kLevelNonExclusive | kLevelForeground).ok());
  ASSERT_TRUE(mouse->SetProperty("DIPROP_BUFFERSIZE", {0, 0, 10}).ok());
  ASSERT_TRUE(mouse->Acquire().ok());
  hub.Deliver(RawInput::MouseMove(3, 4));
  std::vector<MouseRecord> r(10);
  int32_t n = 0;
  ASSERT_TRUE(mouse->GetDeviceData(r, 0, n).ok());
  ASSERT_TRUE(mouse->Unacquire().ok());
  n = 7;
  EXPECT_FALSE(mouse->GetDeviceData(r, 0, n).ok());
  TimerQueue timers([] { return Micros{0}; });
  LogTimers(log, timers);
  for (int i = 0; i < 5; ++i) timers.Add([] {}).SetEnabled(true);
  const std::vector<std::string> tail(log.lines.end() - 8, log.lines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "guid_SysMouse GetDeviceData 2",  // two records
                      "guid_SysMouse Unacquire 0", "guid_SysMouse GetDeviceData 0 failed",
                      "RightTimer Enabled -1", "LeftTimer Enabled -1", "ToTimer Enabled -1",
                      "FroTimer Enabled -1", "timer 4 Enabled -1"}));
}

// A fault as the processor raises it for a bad memory access, on the calling thread.
void Fault() {
#ifdef _WIN32
  RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#else
  pthread_kill(pthread_self(), SIGSEGV);
#endif
}

TEST(Recording, ACrashStillWritesOutWhatWasKept) {
  // On the game thread itself, and from another thread while the game thread writes (an
  // abort, and a fault: Windows keeps a thread's signal handlers for that thread alone): the
  // process ends, and the recording ends with its last whole line.
  const struct {
    const char* what;
    bool other_thread, fault;
  } crashes[] = {{"on the game thread", false, false},
                 {"an abort on another thread", true, false},
                 {"a fault on another thread", true, true}};
  for (const auto& [what, other_thread, fault] : crashes) {
    SCOPED_TRACE(what);
    const std::string path = ::testing::TempDir() + "/palomir-crash";
    std::remove(path.c_str());
#ifdef _WIN32
    // How Windows ends an aborted program, and one with a fault.
    const auto killed =
        ::testing::ExitedWithCode(fault ? static_cast<int>(EXCEPTION_ACCESS_VIOLATION) : 3);
#else
    const mode_t umask_was = umask(022);
    const auto killed = ::testing::KilledBySignal(fault ? SIGSEGV : SIGABRT);
#endif
    EXPECT_EXIT(
        {
          LineFile file(path, "recording");
          file.Line("input key down 1");  // kept: not yet 50 ms old
          if (!other_thread) std::raise(SIGABRT);
          std::thread crashing([fault = fault] {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            if (!fault) std::abort();
            Fault();
            std::_Exit(9);  // the fault was not taken as one
          });
          for (int i = 2;; ++i) file.Line("tick " + std::to_string(i) + std::string(i % 97, ' '));
        },
        killed, "");
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!other_thread) {
      EXPECT_EQ(text, "input key down 1\n");
    } else if (text.empty()) {
      // Not an ASSERT: Windows' death tests run the rows before theirs again, without the crash.
      ADD_FAILURE() << "nothing was written out";
    } else {
      EXPECT_EQ(text.back(), '\n');
      std::istringstream lines(text.substr(text.find('\n') + 1));
      int want = 2;
      for (std::string line; std::getline(lines, line); ++want) {
        ASSERT_EQ(line, "tick " + std::to_string(want) + std::string(want % 97, ' '));
      }
      EXPECT_GT(want, 100);  // the game thread was well under way
    }
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // readable by all, written by the player
    umask(umask_was);
#endif
    std::remove(path.c_str());
  }
}

TEST(Recording, OnlyTheGamesOwnFileIsEverRemovedOrRenamed) {
  const std::string path = ::testing::TempDir() + "/palomir-own.rec";
  auto write = [](const std::string& p, const std::string& text) { std::ofstream(p) << text; };
  auto read = [](const std::string& p) {
    std::ifstream in(p);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::string earlier = "# palomir recording\nstart\n";
  struct Row {
    const char* name;
    std::function<void()> act;
    std::vector<std::pair<std::string, std::string>> then;  // file, what it holds ("-": gone)
  } rows[] = {
      {"a failed start removes the file it made",
       [&] { LineFile(path, "recording").Discard(); }, {{"", "-"}}},
#ifndef _WIN32  // Windows puts no file in the place of one the game holds open
      {"a file put in its place meanwhile stays",
       [&] {
         LineFile made(path, "recording");
         write(path + ".player", "the player's\n");
         std::rename((path + ".player").c_str(), path.c_str());
         made.Discard();
       },
       {{"", "the player's\n"}}},
#endif
      {"an earlier recording is kept beside another game's",
       [&] {
         write(path, earlier);
         write(path + ".1", "another game's\n");
         LineFile f(path, "recording");
         std::string kept_as;
         EXPECT_TRUE(f.Begin(true, kept_as));
         EXPECT_EQ(kept_as, path + ".2");
       },
       {{"", ""}, {".1", "another game's\n"}, {".2", earlier}}},
      {"two games started together: the second plays without, and nothing is lost",
       [&] {
         write(path, earlier);
         LineFile one(path, "recording"), other(path, "recording");
         std::string kept_as;
         EXPECT_TRUE(one.Begin(true, kept_as));
         one.Line("start");
         EXPECT_FALSE(other.Begin(true, kept_as));
         EXPECT_EQ(other.error(), "the recording " + path + " could not be written (File exists)");
       },
       {{"", "start\n"}, {".1", earlier}, {".2", "-"}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    for (const char* end : {"", ".1", ".2"}) std::remove((path + end).c_str());
    r.act();
    for (const auto& [end, text] : r.then) {
      struct stat st {};
      const bool there = stat((path + end).c_str(), &st) == 0;
      EXPECT_EQ(there ? read(path + end) : "-", text) << end;
    }
  }
  for (const char* end : {"", ".1", ".2"}) std::remove((path + end).c_str());
}

#ifndef _WIN32  // Windows has no FIFO in its file system
TEST(Recording, AFifoNobodyReadsNeverHoldsTheGame) {
  const std::string path = ::testing::TempDir() + "/palomir-fifo";
  std::remove(path.c_str());
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  ::testing::internal::CaptureStderr();
  {
    LineFile fifo(path, "recording");  // no reader: opening does not wait for one
    ASSERT_TRUE(fifo.ok());
    for (int line = 0; line < 10000; ++line) fifo.Line(std::string(63, 'x'));  // 640 KiB
    EXPECT_FALSE(fifo.ok());  // past the pipe and the 64 KiB kept: given up, not waited on
  }
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.rfind("palomir: the recording " + path + " is not being read (", 0), 0u) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);

  // A reader that is behind, by less than what is kept, and then reads: nothing is lost and
  // nothing said, though the lines written out early lie far back in what is kept.
  const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  fcntl(reader, F_SETPIPE_SZ, 4096);  // a pipe of a page: the rest waits in the game
  const std::string line(63, 'y');
  const size_t lines = 62 * 1024 / (line.size() + 1);
  std::string got;
  ::testing::internal::CaptureStderr();
  {
    LineFile late(path, "recording");
    for (size_t i = 0; i < lines; ++i) {
      late.Line(line);
      late.Flush();
    }
    char buffer[4096];
    for (int i = 0; i < 10000 && got.size() < lines * (line.size() + 1); ++i) {
      const ssize_t n = read(reader, buffer, sizeof(buffer));
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
      late.Flush();
    }
    EXPECT_TRUE(late.ok());
  }
  close(reader);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(got.size(), lines * (line.size() + 1));
  std::remove(path.c_str());
}
#endif

TEST(Recording, AFileThatCannotBeWrittenEndsWithOneWarning) {
#ifndef _WIN32  // Windows has no file size limit to set
  // A disk that fills up: the file may grow no more.
  const std::string path = ::testing::TempDir() + "/palomir-full";
  std::remove(path.c_str());
  rlimit was{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
  const auto signal_was = std::signal(SIGXFSZ, SIG_IGN);
  ::testing::internal::CaptureStderr();
  {
    LineFile full(path, "trace");
    ASSERT_TRUE(full.ok());
    const rlimit small{200, was.rlim_max};  // room for the warning, not for the line
    setrlimit(RLIMIT_FSIZE, &small);
    full.Line("say 1 \"" + std::string(300, 'x') + "\"");
    full.Flush();  // written off, said once on stderr
    EXPECT_FALSE(full.ok());
    full.Line("call puck.wav SetPan 1");  // and nothing more is tried
    full.Flush();
    setrlimit(RLIMIT_FSIZE, &was);
  }
  std::signal(SIGXFSZ, signal_was);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "palomir: the trace " + path + " could not be written (File too large); it stops here\n");
  std::remove(path.c_str());
#endif
  struct Row {
    const char* path;
    bool refused;
    const char* error;
  } rows[] = {
      {"/nonexistent/folder/game.rec", false,
       "the recording /nonexistent/folder/game.rec could not be written (No such file or "
       "directory)"},
#ifdef _WIN32
      {"NUL", true, "NUL is a device, not a file: a recording is written only to a file or a pipe"},
#else
      {"/dev/full", true, "/dev/full is a device, not a file: a recording is written only to a "
                          "file or a pipe"},
#endif
  };
  for (const Row& r : rows) {
    LineFile none(r.path, "recording");
    EXPECT_FALSE(none.ok());
    EXPECT_EQ(none.refused(), r.refused);
    EXPECT_EQ(none.error(), r.error);
  }
}

}  // namespace
}  // namespace palomir
