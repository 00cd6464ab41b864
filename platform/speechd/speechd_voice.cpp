#include "platform/speechd/speechd_voice.h"

#include <speech-dispatcher/libspeechd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

namespace palomir {

namespace {

using namespace std::chrono_literals;

// speech-dispatcher tells the end of each line on a thread of its own, through callbacks
// that carry no context: the lines it has finished with (spoken or cancelled) are kept here.
struct Finished {
  std::mutex lock;
  std::condition_variable changed;
  std::set<size_t> lines;

  static Finished& Get() {
    static Finished f;
    return f;
  }
  static void Ended(size_t message, size_t /*client*/, SPDNotificationType /*state*/) {
    Finished& f = Get();
    {
      std::lock_guard guard(f.lock);
      f.lines.insert(message);
    }
    f.changed.notify_all();
  }
};

class SpeechdVoice final : public Voice {
 public:
  SpeechdVoice(SPDConnection* connection, std::function<void()> while_waiting)
      : connection_(connection), while_waiting_(std::move(while_waiting)) {}

  ~SpeechdVoice() override {
    // The game is over: what it still had to say goes with it.
    spd_cancel(connection_);
    spd_close(connection_);
  }

  Status Speak(const std::string& text, int32_t flags) override {
    if (flags != kSpeakWait && flags != kSpeakAsync) {
      return Status::Fail("Speak: unknown flags " + std::to_string(flags));
    }
    // Message priority: queued behind earlier messages, never cut short by later ones.
    const int id = spd_say(connection_, SPD_MESSAGE, text.c_str());
    if (id < 0) return Status::Fail("speech-dispatcher did not take the line \"" + text + "\"");
    if (flags == kSpeakWait) Wait(static_cast<size_t>(id));
    return Status::Ok();
  }

 private:
  void Wait(size_t id) {
    Finished& f = Finished::Get();
    for (;;) {
      {
        std::unique_lock guard(f.lock);
        if (f.changed.wait_for(guard, 5ms, [&] { return f.lines.count(id) > 0; })) {
          // Every line before it was queued earlier and has ended too.
          f.lines.erase(f.lines.begin(), f.lines.upper_bound(id));
          return;
        }
      }
      if (while_waiting_) while_waiting_();
    }
  }

  SPDConnection* connection_;
  std::function<void()> while_waiting_;
};

}  // namespace

Status CreateSpeechdVoice(std::function<void()> while_waiting, std::unique_ptr<Voice>& voice) {
  char* error = nullptr;
  SPDConnection* c = spd_open2("palomir", "main", nullptr, SPD_MODE_THREADED, nullptr, 1, &error);
  if (!c) {
    std::string why = error ? error : "no answer";
    free(error);
    // Its first sentence says it; the rest is about starting a server of its own.
    if (why.rfind("Error: ", 0) == 0) why.erase(0, 7);
    if (const auto stop = why.find(". "); stop != std::string::npos) why.resize(stop);
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ' || why.back() == '.')) {
      why.pop_back();
    }
    return Status::Fail(why);
  }
  c->callback_end = Finished::Ended;
  c->callback_cancel = Finished::Ended;
  spd_set_notification_on(c, SPD_END);
  spd_set_notification_on(c, SPD_CANCEL);
  voice = std::make_unique<SpeechdVoice>(c, std::move(while_waiting));
  return Status::Ok();
}

}  // namespace palomir
