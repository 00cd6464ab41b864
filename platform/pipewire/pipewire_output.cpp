#include "platform/pipewire/pipewire_output.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <sys/prctl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>

namespace palomir {

namespace {

constexpr uint32_t kFrameBytes = 2 * sizeof(float);  // interleaved stereo
// How long one wait for the server lasts before `cancel` is looked at again.
constexpr int64_t kWaitSlice = 5 * SPA_NSEC_PER_MSEC;

std::once_flag initialised;

// PipeWire's data thread, called through the loop's queue (not inside a cycle). The thread
// gets a name of the game's, by which the output finds it and raises it to real time.
int NameDataThread(spa_loop*, bool, uint32_t, const void*, size_t, void*) {
  prctl(PR_SET_NAME, "palomir-mix");
  return 0;
}

}  // namespace

struct PipeWireOutput::Impl {
  std::shared_ptr<Mixer> mixer;
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook core_listener{};
  spa_hook stream_listener{};
  std::atomic<bool> failed{false};
  std::atomic<bool> streaming{false};
  std::string error;  // under the loop's lock
  // Whether the server has speakers of any kind: the loop's thread writes, under its lock.
  pw_registry* registry = nullptr;
  spa_hook registry_listener{};
  bool sink_seen = false;
  int sync_seq = -1;
  bool synced = false;

  // The loop's thread, its lock held. Every object on the server once, then the new ones.
  static void Global(void* data, uint32_t /*id*/, uint32_t /*permissions*/, const char* type,
                     uint32_t /*version*/, const spa_dict* props) {
    auto* m = static_cast<Impl*>(data);
    if (!props || !type || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
    const char* kind = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    // auto_null is the stand-in PipeWire makes when it has no speakers at all.
    if (kind && (std::strcmp(kind, "Audio/Sink") == 0 || std::strcmp(kind, "Audio/Duplex") == 0) &&
        !(name && std::strcmp(name, "auto_null") == 0)) {
      m->sink_seen = true;
    }
  }

  // The loop's thread, its lock held: the server has answered everything asked before `seq`.
  static void CoreDone(void* data, uint32_t id, int seq) {
    auto* m = static_cast<Impl*>(data);
    if (id != PW_ID_CORE || seq != m->sync_seq) return;
    m->synced = true;
    pw_thread_loop_signal(m->loop, false);
  }

  // The loop's thread, its lock held. The connection to the server is gone or refused.
  static void CoreError(void* data, uint32_t id, int /*seq*/, int res, const char* message) {
    auto* m = static_cast<Impl*>(data);
    if (id != PW_ID_CORE) return;
    m->Fail(res == -EPIPE ? "the PipeWire server went away" : message ? message : strerror(-res));
  }

  // The loop's thread, its lock held.
  static void StateChanged(void* data, pw_stream_state /*old*/, pw_stream_state state,
                           const char* error) {
    auto* m = static_cast<Impl*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
      m->Fail(error ? error : "PipeWire ended the game's stream");
    } else if (state == PW_STREAM_STATE_UNCONNECTED && m->streaming) {
      m->Fail("PipeWire ended the game's stream");
    } else if (state == PW_STREAM_STATE_STREAMING) {
      m->streaming = true;
      pw_thread_loop_signal(m->loop, false);
    }
  }

  // Audio thread (PipeWire's data thread). Mixes the block the sink plays in this cycle:
  // no lock, allocation, free or system call.
  static void Process(void* data) {
    auto* m = static_cast<Impl*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(m->stream);
    if (!b) return;
    spa_data& d = b->buffer->datas[0];
    if (!d.data) {
      pw_stream_queue_buffer(m->stream, b);
      return;
    }
    uint32_t frames = d.maxsize / kFrameBytes;
    if (b->requested > 0 && b->requested < frames) frames = static_cast<uint32_t>(b->requested);
    m->mixer->mix(std::span<float>(static_cast<float*>(d.data), size_t{frames} * 2));
    d.chunk->offset = 0;
    d.chunk->stride = kFrameBytes;
    d.chunk->size = frames * kFrameBytes;
    pw_stream_queue_buffer(m->stream, b);
  }

  // The output's thread, the loop's lock held: why a wait ended without what it waited for.
  std::string WhyNot() const { return failed ? error : "the sound output was no longer wanted"; }

  // The loop's thread or the output's, the loop's lock held.
  void Fail(const char* why) {
    if (!failed) error = why;
    failed = true;
    pw_thread_loop_signal(loop, false);
  }
};

namespace {

// PipeWire's tables of callbacks, the unused ones left empty.
const pw_core_events kCoreEvents = [] {
  pw_core_events e{};
  e.version = PW_VERSION_CORE_EVENTS;
  e.done = PipeWireOutput::Impl::CoreDone;
  e.error = PipeWireOutput::Impl::CoreError;
  return e;
}();
const pw_registry_events kRegistryEvents = [] {
  pw_registry_events e{};
  e.version = PW_VERSION_REGISTRY_EVENTS;
  e.global = PipeWireOutput::Impl::Global;
  return e;
}();
const pw_stream_events kStreamEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = PipeWireOutput::Impl::StateChanged;
  e.process = PipeWireOutput::Impl::Process;
  return e;
}();

// The output's thread: the loop's lock, held while the output talks to the server.
class LoopLock {
 public:
  explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~LoopLock() { pw_thread_loop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

// The output's thread, the loop's lock held. Waits on the loop until `done` holds, the
// server fails, or the game no longer wants the output: whether `done` came.
template <typename Done>
bool WaitFor(PipeWireOutput::Impl& m, const std::atomic<bool>& cancel, Done done) {
  while (!done() && !m.failed && !cancel) {
    timespec until{};
    pw_thread_loop_get_time(m.loop, &until, kWaitSlice);
    pw_thread_loop_timed_wait_full(m.loop, &until);
  }
  return done() && !m.failed && !cancel;
}

}  // namespace

PipeWireOutput::PipeWireOutput() : impl_(std::make_unique<Impl>()) {}

std::unique_ptr<PipeWireOutput> PipeWireOutput::Open(std::shared_ptr<Mixer> mixer, int frames,
                                                     const std::atomic<bool>& cancel,
                                                     bool& no_server, std::string& why) {
  no_server = false;
  // Once for the whole process: PipeWire keeps what it loads until the process ends.
  std::call_once(initialised, [] {
    pw_init(nullptr, nullptr);
    // The library's own notes (a missing client.conf where PipeWire is not installed, a
    // server that went away) are not for the player, who reads the game's; PIPEWIRE_DEBUG
    // still brings them back.
    const char* debug = std::getenv("PIPEWIRE_DEBUG");
    if (!debug || !*debug) pw_log_set_level(SPA_LOG_LEVEL_NONE);
  });
  std::unique_ptr<PipeWireOutput> out(new PipeWireOutput());
  Impl& m = *out->impl_;
  m.mixer = std::move(mixer);
  m.loop = pw_thread_loop_new("palomir-pw", nullptr);
  if (!m.loop || pw_thread_loop_start(m.loop) != 0) {
    why = "PipeWire could not start its thread";
    return nullptr;
  }
  LoopLock locked(m.loop);
  // The desktop's own settings for clients (client.conf) come with the context.
  m.context = pw_context_new(pw_thread_loop_get_loop(m.loop),
                             pw_properties_new(PW_KEY_APP_NAME, "Palomir", PW_KEY_APP_ID,
                                               "io.github.palomir.palomir", nullptr),
                             0);
  if (m.context) m.core = pw_context_connect(m.context, nullptr, 0);
  if (!m.core) {
    // No socket, no runtime folder, a socket nobody listens on or one this user may not
    // use: whatever the reason, this PipeWire cannot be had, and other ways may still be.
    no_server = true;
    why = std::string("no PipeWire server answered (") + strerror(errno) + ")";
    return nullptr;
  }
  pw_core_add_listener(m.core, &m.core_listener, &kCoreEvents, &m);
  // A PipeWire with no speakers (one kept for screen sharing beside PulseAudio, say) would
  // take the stream and never play it: then the way is left to PulseAudio.
  m.registry = pw_core_get_registry(m.core, PW_VERSION_REGISTRY, 0);
  if (m.registry) {
    pw_registry_add_listener(m.registry, &m.registry_listener, &kRegistryEvents, &m);
    m.sync_seq = pw_core_sync(m.core, PW_ID_CORE, 0);
  }
  const bool listed = m.registry && WaitFor(m, cancel, [&] { return m.synced; });
  if (m.registry) {
    spa_hook_remove(&m.registry_listener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(m.registry));
    m.registry = nullptr;
  }
  if (!listed || !m.sink_seen) {
    no_server = listed;
    why = listed ? "the PipeWire server has no speakers to play through" : m.WhyNot();
    return nullptr;
  }
  const std::string latency = std::to_string(frames) + "/" + std::to_string(Mixer::kRate);
  m.stream = pw_stream_new(
      m.core, "Table hockey",
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                        PW_KEY_MEDIA_ROLE, "Game", PW_KEY_MEDIA_NAME, "Table hockey",
                        PW_KEY_NODE_NAME, "palomir", PW_KEY_NODE_DESCRIPTION, "Palomir",
                        PW_KEY_APP_NAME, "Palomir", PW_KEY_APP_ID, "io.github.palomir.palomir",
                        PW_KEY_APP_ICON_NAME, "palomir", PW_KEY_NODE_LATENCY,
                        latency.c_str(), nullptr));
  if (!m.stream) {
    why = std::string("PipeWire refused the game's stream (") + strerror(errno) + ")";
    return nullptr;
  }
  pw_stream_add_listener(m.stream, &m.stream_listener, &kStreamEvents, &m);
  uint8_t pod[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof(pod));
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = Mixer::kRate;
  info.channels = 2;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                  PW_STREAM_FLAG_RT_PROCESS);
  if (pw_stream_connect(m.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) != 0) {
    why = "PipeWire refused the game's stream";
    return nullptr;
  }
  // The server links the stream to the speakers (its session manager does) and starts
  // pulling it; a server without a session manager never does, and the game's own deadline
  // ends the wait.
  if (!WaitFor(m, cancel, [&] { return m.streaming.load(); })) {
    why = m.WhyNot();
    return nullptr;
  }
  pw_loop_invoke(pw_data_loop_get_loop(pw_context_get_data_loop(m.context)), NameDataThread, 0, nullptr, 0, true,
                 nullptr);
  return out;
}

PipeWireOutput::~PipeWireOutput() {
  Impl& m = *impl_;
  if (!m.loop) return;
  {
    LoopLock locked(m.loop);
    // Once the stream is gone the data thread no longer calls Process.
    if (m.stream) pw_stream_destroy(m.stream);
    if (m.core) pw_core_disconnect(m.core);
  }
  pw_thread_loop_stop(m.loop);
  if (m.context) pw_context_destroy(m.context);
  pw_thread_loop_destroy(m.loop);
}

bool PipeWireOutput::failed() const {
  return impl_->failed.load();
}

std::vector<std::string> PipeWireOutput::Sockets() {
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
  };
  const char* remote = set("PIPEWIRE_REMOTE");
  const std::string name = remote ? remote : "pipewire-0";
  if (name[0] == '/') return {name};
  std::vector<std::string> out;
  const char* dir = set("PIPEWIRE_RUNTIME_DIR");
  if (!dir) dir = set("XDG_RUNTIME_DIR");
  if (dir) out.push_back(std::string(dir) + "/" + name);
  out.push_back("/run/pipewire/" + name);
  return out;
}

}  // namespace palomir
