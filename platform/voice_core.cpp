#include "platform/voice_core.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "language/tr.h"
#include "platform/mixer/mixer.h"
#include "platform/speech_queue.h"

namespace palomir {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How often a game thread waiting for a line looks at the window (the close box) and the
// sound output: no player tells 50 ms, and the line's end wakes the wait at once.
constexpr auto kLookEvery = 50ms;

double Seconds() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

class VoiceCore final : public Voice {
 public:
  VoiceCore(std::unique_ptr<VoiceBackend> backend, VoiceCoreSetup setup)
      : setup_(std::move(setup)), backend_(std::move(backend)) {
    if (setup_.poll) {
      *setup_.poll = [this] { Look(); };
    }
    StartThread();
  }

  ~VoiceCore() override {
    if (setup_.poll) *setup_.poll = nullptr;
    StopThread();
  }

  Status Speak(const std::string& text, int32_t flags) override {
    if (flags < kSpeakWait || flags > kSpeakNote) {
      return Status::Fail("Speak: unknown flags " + std::to_string(flags));
    }
    Look();
    if (mute_) return Status::Ok();
    uint64_t id;
    {
      std::lock_guard lock(mutex_);
      id = queued_ + 1;
      QueuedLine line{id, text, flags == kSpeakWait, Seconds(), 0, flags >= kSpeakGuide};
      if (current_ && SpeechQueue::Repeats(line, *current_)) return Status::Ok();
      queued_ = id;
      queue_.set_pace(RatePace() * learned_);
      // What falls too far behind is left out unsaid.
      if (current_ && SpeechQueue::Replaces(line, *current_)) cut_ = true;
      queue_.Push(std::move(line), SayingLeft());
    }
    backend_->Wake();
    if (flags != kSpeakWait) return Status::Ok();
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        if (changed_.wait_for(lock, kLookEvery, [&] { return ended_ >= id || failed_; }) &&
            ended_ >= id) {
          return Status::Ok();
        }
      }
      Look();
      if (mute_) return Status::Ok();
      if (setup_.while_waiting) setup_.while_waiting();
    }
  }

  void Hush() override {
    std::lock_guard lock(mutex_);
    queue_.DropGuide();
    if (current_ && current_->guide) {
      cut_ = true;
      backend_->Wake();
    }
  }

  double Behind() const override {
    std::lock_guard lock(mutex_);
    return queue_.seconds() + SayingLeft();
  }

 private:
  // How much slower than usual the player's rate is.
  double RatePace() const {
    return setup_.levels ? static_cast<double>(VoiceLevels::kUsualRate) /
                               std::max(1, setup_.levels->rate.load())
                         : 1.0;
  }

  // Called with the lock held: what is still to be heard of the line being said.
  double SayingLeft() const {
    if (!current_) return 0;
    const double left = backend_->Left();
    if (left >= 0) return left;
    return std::max(0.0, SpeechQueue::Length(current_->text) * queue_.pace() -
                             (Seconds() - started_));
  }

  void StartThread() {
    failed_ = false;
    cut_ = false;
    thread_ = std::thread([this] { Run(); });
  }

  void StopThread() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
      cut_ = true;
    }
    if (backend_) backend_->Wake();
    if (thread_.joinable()) thread_.join();
    quit_ = false;
  }

  // Voice thread.
  void Run() {
    Serve();
    backend_->Close();
  }

  // Voice thread: the lines, one at a time, until the core stops or the backend fails.
  void Serve() {
    Status s = backend_->Open(cut_);
    while (s.ok()) {
      QueuedLine line;
      bool have;
      {
        std::lock_guard lock(mutex_);
        if (quit_) return;
        have = queue_.Pop(line);
        if (have) {
          current_ = line;
          started_ = Seconds();
          cut_ = false;
        }
      }
      if (!have) {
        s = backend_->Idle();
        continue;
      }
      s = backend_->Say(line.text, cut_);
      {
        std::lock_guard lock(mutex_);
        // How long the backend's lines really take against the reckoning: what is waiting
        // is then counted in the seconds the player will hear it.
        const double took = Seconds() - started_;
        const double reckoned = SpeechQueue::Length(line.text) * RatePace();
        if (s.ok() && !cut_ && took > 0.3 * reckoned && took < 5 * reckoned) {
          learned_ = 0.7 * learned_ + 0.3 * (took / reckoned);
          queue_.set_pace(RatePace() * learned_);
        }
        // A line that was not heard is said again by the voice that takes over, unless it
        // was stopped on purpose.
        if (!s.ok() && !cut_) queue_.Return(std::move(line));
        if (s.ok()) ended_ = current_->id;
        current_.reset();
      }
      changed_.notify_all();
    }
    {
      std::lock_guard lock(mutex_);
      if (quit_) return;
      failed_ = true;
      why_ = s.reason();
    }
    changed_.notify_all();
  }

  // Game thread: a backend that failed is replaced; said once.
  void Look() {
    if (mute_) return;
    {
      std::lock_guard lock(mutex_);
      if (!failed_) return;
    }
    if (thread_.joinable()) thread_.join();
    backend_.reset();
    Tell(setup_.fallback ? Fill(Tr("%s; using the game's own voice"), why_) : why_);
    Status s = setup_.fallback ? setup_.fallback(backend_) : Status::Fail("none");
    if (!s.ok() || !backend_) {
      backend_.reset();
      mute_ = true;
      std::lock_guard lock(mutex_);
      queue_.TakeAll();
      if (setup_.fallback) {
        Tell(Fill(Tr("the game's own voice could not be started either (%s); the game plays "
                     "without speech"),
                  s.reason()));
      }
      return;
    }
    StartThread();
  }

  void Tell(const std::string& text) {
    if (setup_.tell) {
      setup_.tell(text);
    } else {
      std::fprintf(stderr, "palomir: %s\n", text.c_str());
    }
  }

  VoiceCoreSetup setup_;
  std::unique_ptr<VoiceBackend> backend_;  // swapped on the game thread, the thread stopped
  std::thread thread_;
  bool mute_ = false;  // game thread: no backend left

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  SpeechQueue queue_;
  std::optional<QueuedLine> current_;
  double started_ = 0;
  double learned_ = 1;  // the backend's real length of a line against the reckoned one
  std::atomic<bool> cut_{false};
  uint64_t queued_ = 0;
  uint64_t ended_ = 0;
  bool quit_ = false;
  bool failed_ = false;
  std::string why_;
};

}  // namespace

std::unique_ptr<Voice> CreateVoiceCore(std::unique_ptr<VoiceBackend> backend,
                                       VoiceCoreSetup setup) {
  return std::make_unique<VoiceCore>(std::move(backend), std::move(setup));
}

Status SleepingBackend::Idle() {
  Nap(std::chrono::seconds(1));
  return Status::Ok();
}

void SleepingBackend::Nap(std::chrono::microseconds most) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, most, [this] { return woken_; });
  woken_ = false;
}

void SleepingBackend::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

Status MixedBackend::Play(const std::vector<float>& pcm, const std::atomic<bool>& cut,
                          const std::function<bool()>& running) {
  size_t at = 0;
  for (;;) {
    if (running && !running()) {
      // With no output nothing would ever be heard.
      stream_.Cut();
      end_.store(0);
      return Status::Ok();
    }
    if (cut) {
      stream_.Cut();
      end_.store(0);
      return Status::Ok();
    }
    if (at < pcm.size()) {
      at += stream_.Write(std::span<const float>(pcm).subspan(at));
      end_.store(stream_.Written() + (pcm.size() - at));
    }
    const uint64_t written = stream_.Written();
    const uint64_t heard = std::min(stream_.Heard(), written);
    if (at == pcm.size() && heard == written) {
      end_.store(0);
      return Status::Ok();
    }
    // Asleep till about half of what the mixer holds has been heard: a line of a few seconds
    // wakes this thread a few dozen times, not every 2 ms. A cut wakes it at once (Wake);
    // a lost output is seen within the longest nap.
    const auto half = std::chrono::microseconds((written - heard) * 500000 / Mixer::kRate);
    Nap(std::clamp<std::chrono::microseconds>(half, std::chrono::milliseconds(2),
                                              std::chrono::milliseconds(50)));
  }
}

double MixedBackend::Left() const {
  const uint64_t end = end_.load();
  // Until the mixer has the line it is still being made: how long it will take is not known.
  if (end == 0) return -1;
  const uint64_t heard = stream_.Heard();
  return end > heard ? static_cast<double>(end - heard) / Mixer::kRate : 0.0;
}

}  // namespace palomir
