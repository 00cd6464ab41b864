#include <windows.h>
#include <rpc.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "language/tr.h"
#include "nvda_controller.h"
#include "platform/win32/nvda_endpoint.h"
#include "platform/win32/readers.h"
#include "platform/win32/rpc_guard.h"
#include "platform/win32/wide.h"

extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) { return std::malloc(size); }
extern "C" void __RPC_USER MIDL_user_free(void* p) { std::free(p); }

namespace palomir::win32 {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What a call NVDA answers at once (is it running, speak this, be quiet) may take.
constexpr auto kAnswer = 2s;
// A call given up on: NVDA did not answer in time.
constexpr unsigned long kNoAnswer = ERROR_TIMEOUT;

// The binding to NVDA's endpoint. Each call holds it, so that a call left hanging in an NVDA
// that stopped answering still has it after the reader has let go.
class Binding {
 public:
  explicit Binding(handle_t handle) : handle_(handle) {}
  ~Binding() { RpcBindingFree(&handle_); }
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;
  handle_t get() const { return handle_; }

 private:
  handle_t handle_;
};

using Procedure = std::function<error_status_t(handle_t)>;

// One call to NVDA, made on a thread of its own: local RPC has no time-out, so the voice
// thread waits for it only as long as it chooses, and leaves a call that hangs to its thread.
class Call {
 public:
  // Voice thread; does not block.
  Call(std::shared_ptr<Binding> binding, Procedure procedure)
      : state_(std::make_shared<State>(std::move(binding), std::move(procedure))) {
    std::thread([state = state_] {
      state->status = palomir_rpc_guarded(&State::Run, state.get());
      state->done.store(true, std::memory_order_release);
    }).detach();
  }
  // Any thread: whether NVDA has answered.
  bool done() const { return state_->done.load(std::memory_order_acquire); }
  // Once done: NVDA's answer (0: done as asked), or the RPC runtime's error.
  unsigned long status() const { return state_->status; }

 private:
  struct State {
    State(std::shared_ptr<Binding> b, Procedure p) : binding(std::move(b)), procedure(std::move(p)) {}
    std::shared_ptr<Binding> binding;
    Procedure procedure;
    unsigned long status = 0;
    std::atomic<bool> done{false};
    static unsigned long Run(void* state) {
      auto* s = static_cast<State*>(state);
      return s->procedure(s->binding->get());
    }
  };
  std::shared_ptr<State> state_;
};

// The line as SSML: its text with XML's special characters escaped. No <mark/>: NVDA would
// call back for it, and this client serves no call-back (the synchronous call's return is
// what says the line has been said).
std::wstring Ssml(const std::string& text) {
  std::string ssml = "<speak>";
  for (const char c : text) {
    switch (c) {
      case '&': ssml += "&amp;"; break;
      case '<': ssml += "&lt;"; break;
      case '>': ssml += "&gt;"; break;
      case '"': ssml += "&quot;"; break;
      case '\'': ssml += "&apos;"; break;
      default: ssml += c;
    }
  }
  return Wide(ssml + "</speak>");
}

// NVDA spoken to through its controller interface. Where it has speakSsml (2024.1 on), a
// line is sent as SSML to be spoken synchronously: the call returns once NVDA has said it,
// so the line is waited for exactly. Where it has not, speakText queues the line and the
// line is reckoned. Escape's cut is NVDA's cancelSpeech, which also ends a synchronous
// speakSsml. NVDA gone or not answering: Say fails, and the core says so once.
class NvdaBackend final : public ReckoningReader {
 public:
  // Game thread; does not block.
  explicit NvdaBackend(const SapiSetup& setup) : ReckoningReader(setup.levels) {}

  // Voice thread: binds to NVDA's endpoint and asks whether it runs, kAnswer at most.
  Status Open(const std::atomic<bool>& stop) override {
    const std::wstring endpoint = NvdaEndpoint();
    RPC_WSTR text = nullptr;
    handle_t handle = nullptr;
    RPC_STATUS s = RpcStringBindingComposeW(nullptr, Rpc(L"ncalrpc"), nullptr, Rpc(endpoint.c_str()),
                                            nullptr, &text);
    if (s == RPC_S_OK) {
      s = RpcBindingFromStringBindingW(text, &handle);
      RpcStringFreeW(&text);
    }
    if (s != RPC_S_OK) return Reached(s);
    binding_ = std::make_shared<Binding>(handle);
    return Reached(Ask([](handle_t b) { return nvda_testIfRunning(b); }, &stop));
  }

  // Voice thread: a call still hanging keeps the binding until it ends.
  void Close() override { binding_.reset(); }

  // Voice thread.
  Status Say(const std::string& text, const std::atomic<bool>& cut) override {
    if (ssml_) {
      Call speak(binding_, [ssml = Ssml(text)](handle_t b) {
        return nvda_speakSsml(b, ssml.c_str(), symbols_some, priority_normal, FALSE);
      });
      speaking_.store(true);
      const unsigned long s = Finish(speak, Longest(text), cut);
      speaking_.store(false);
      if (s != RPC_S_PROCNUM_OUT_OF_RANGE) return Reached(s);
      ssml_ = false;  // an NVDA older than 2024.1, from now on
    }
    if (const unsigned long s = Ask([line = Wide(text)](handle_t b) { return nvda_speakText(b, line.c_str()); });
        s != 0) {
      return Reached(s);
    }
    Wait(text, cut);
    if (cut) return Reached(Ask([](handle_t b) { return nvda_cancelSpeech(b); }));
    return Status::Ok();
  }

  // Any thread: while NVDA says an SSML line, what is left of it is unknown (the core reckons).
  double Left() const override { return speaking_.load() ? -1 : ReckoningReader::Left(); }

 private:
  static RPC_WSTR Rpc(const wchar_t* text) { return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text)); }

  // Voice thread: makes a call NVDA answers at once; its answer, or kNoAnswer after kAnswer
  // (or once `stop` is set).
  unsigned long Ask(Procedure procedure, const std::atomic<bool>* stop = nullptr) {
    Call call(binding_, std::move(procedure));
    const auto end = Clock::now() + kAnswer;
    while (!call.done()) {
      if (Clock::now() > end || (stop && *stop)) return kNoAnswer;
      std::this_thread::sleep_for(5ms);
    }
    return call.status();
  }

  // Voice thread: waits for a synchronous speakSsml, `most` at most; once `cut` is set, asks
  // NVDA to cancel and waits for both calls, kAnswer at most.
  unsigned long Finish(const Call& speak, Clock::duration most, const std::atomic<bool>& cut) {
    auto end = Clock::now() + most;
    std::optional<Call> cancel;
    while (!speak.done() || (cancel && !cancel->done())) {
      if (cut && !cancel) {
        cancel.emplace(binding_, [](handle_t b) { return nvda_cancelSpeech(b); });
        end = std::min(end, Clock::now() + kAnswer);
      }
      if (Clock::now() > end) return kNoAnswer;
      std::this_thread::sleep_for(5ms);
    }
    return speak.status();
  }

  // The longest NVDA may take to say `text` before it is taken as hanging: three times the
  // line at the player's rate (NVDA may speak slower), and ten seconds more.
  Clock::duration Longest(const std::string& text) const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(3 * Seconds(text)) + 10s);
  }

  // The player's message for a call that failed; none for one that worked.
  static Status Reached(unsigned long status) {
    if (status == 0) return Status::Ok();
    std::string why;
    if (status == RPC_S_SERVER_UNAVAILABLE || status == EPT_S_NOT_REGISTERED) {
      // TRANSLATORS: why NVDA could not be reached; "it" is NVDA.
      why = Tr("it is not running");
    } else if (status == kNoAnswer) {
      // TRANSLATORS: why NVDA could not be reached; "it" is NVDA.
      why = Tr("it did not answer in time");
    } else {
      // TRANSLATORS: why NVDA could not be reached; "it" is NVDA, %s a Windows error number.
      why = Fill(Tr("it answered with error %s"), std::to_string(status));
    }
    // TRANSLATORS: NVDA is the screen reader; the reason is one of the three lines above.
    return Status::Fail(Fill(Tr("NVDA could not be reached (%s)"), why));
  }

  std::shared_ptr<Binding> binding_;  // from Open to Close
  bool ssml_ = true;                  // NVDA has speakSsml, until it says otherwise
  std::atomic<bool> speaking_{false};  // a synchronous speakSsml is under way
};

}  // namespace

std::unique_ptr<VoiceBackend> NvdaReader(const SapiSetup& setup) { return std::make_unique<NvdaBackend>(setup); }

}  // namespace palomir::win32
