#include "platform/win32/readers.h"

#include <algorithm>
#include <chrono>
#include <thread>


namespace palomir::win32 {

namespace {

using namespace std::chrono_literals;

class First final : public VoiceBackend {
 public:
  explicit First(std::vector<std::unique_ptr<VoiceBackend>> readers) : readers_(std::move(readers)) {}

  // Voice thread. Each reader that does not open is closed at once, on this thread.
  Status Open(const std::atomic<bool>& stop) override {
    Status last = Status::Ok();
    for (auto& reader : readers_) {
      last = reader->Open(stop);
      if (last.ok()) {
        chosen_.store(reader.get());
        return last;
      }
      reader->Close();
      if (stop) break;
    }
    return last;
  }
  void Close() override {
    if (VoiceBackend* reader = chosen_.load()) reader->Close();
  }
  Status Say(const std::string& text, const std::atomic<bool>& cut) override {
    return chosen_.load()->Say(text, cut);
  }
  Status Idle() override {
    VoiceBackend* reader = chosen_.load();
    return reader ? reader->Idle() : Status::Ok();
  }
  // Any thread: the readers are all there until this goes, so a Wake during Open reaches them all.
  void Wake() override {
    if (VoiceBackend* reader = chosen_.load()) {
      reader->Wake();
    } else {
      for (auto& r : readers_) r->Wake();
    }
  }
  double Left() const override {
    VoiceBackend* reader = chosen_.load();
    return reader ? reader->Left() : -1;
  }

 private:
  std::vector<std::unique_ptr<VoiceBackend>> readers_;
  std::atomic<VoiceBackend*> chosen_{nullptr};  // set once, by Open
};

}  // namespace

std::unique_ptr<VoiceBackend> FirstReader(std::vector<std::unique_ptr<VoiceBackend>> readers) {
  return std::make_unique<First>(std::move(readers));
}

double ReckoningReader::Left() const {
  const auto until = std::chrono::steady_clock::duration(until_.load());
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return until > now ? std::chrono::duration<double>(until - now).count() : 0.0;
}

double ReckoningReader::Seconds(const std::string& text) const {
  const int rate = levels_ ? std::max(levels_->rate.load(), 1) : VoiceLevels::kUsualRate;
  return SpokenLength(text) * VoiceLevels::kUsualRate / rate;
}

void ReckoningReader::Wait(const std::string& text, const std::atomic<bool>& cut) {
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(Seconds(text)));
  until_.store(until.time_since_epoch().count());
  while (!cut && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
  until_.store(0);
}

}  // namespace palomir::win32
