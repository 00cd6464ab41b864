// The quickest a PipeWire client can be heard: a playback stream whose data thread writes a
// click into the very cycle after a byte arrives on standard input. The latency bench times
// it with the same recorder as the game, which tells the recorder's own delay: a click
// written into the next cycle reaches the sink between 0 and one quantum after its byte.
//   sink_reference FRAMES     (one byte on stdin, one click of 50 ms at half scale)
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr uint32_t kRate = 48000;
std::atomic<bool> asked{false};
pw_stream* stream = nullptr;
uint32_t left = 0;  // data thread only

void Process(void*) {
  pw_buffer* b = pw_stream_dequeue_buffer(stream);
  if (!b) return;
  spa_data& d = b->buffer->datas[0];
  uint32_t frames = d.maxsize / 8;
  if (b->requested > 0 && b->requested < frames) frames = static_cast<uint32_t>(b->requested);
  if (asked.exchange(false)) left = kRate / 20;
  auto* out = static_cast<float*>(d.data);
  for (uint32_t i = 0; i < frames; ++i) {
    const float v = left > 0 ? 0.5f : 0.0f;
    if (left > 0) --left;
    out[2 * i] = out[2 * i + 1] = v;
  }
  d.chunk->offset = 0;
  d.chunk->stride = 8;
  d.chunk->size = frames * 8;
  pw_stream_queue_buffer(stream, b);
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 256;
  std::thread([] {
    char c;
    while (read(0, &c, 1) == 1) asked = true;
    std::_Exit(0);
  }).detach();
  pw_init(&argc, &argv);
  pw_main_loop* loop = pw_main_loop_new(nullptr);
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.process = Process;
  const std::string latency = std::to_string(frames) + "/" + std::to_string(kRate);
  stream = pw_stream_new_simple(pw_main_loop_get_loop(loop), "sink reference",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                  PW_KEY_NODE_LATENCY, latency.c_str(), nullptr),
                                &events, nullptr);
  uint8_t pod[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof(pod));
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = kRate;
  info.channels = 2;
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                 PW_STREAM_FLAG_RT_PROCESS),
                    params, 1);
  pw_main_loop_run(loop);
  return 0;
}
