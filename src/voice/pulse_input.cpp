// The microphone through the sound server's simple API: blocking reads suit the capture thread.
#include <pulse/error.h>
#include <pulse/simple.h>

#include "platform/log.h"
#include "voice/audio.h"

namespace talvane {

namespace {

class PulseInput final : public AudioInput {
 public:
  ~PulseInput() override {
    if (stream_) pa_simple_free(stream_);
  }

  std::optional<std::string> open() override {
    const pa_sample_spec spec{PA_SAMPLE_S16LE, kSampleRate, 1};
    // Small fragments: the level meter and the partial text follow the voice closely.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = 1024 * 2;
    int error = 0;
    stream_ = pa_simple_new(nullptr, "Talvane", PA_STREAM_RECORD, nullptr, "Dictation", &spec,
                            nullptr, &attr, &error);
    if (stream_) return std::nullopt;
    log::line(std::string("Talvane: cannot record: ") + pa_strerror(error));
    switch (error) {
      case PA_ERR_CONNECTIONREFUSED:
      case PA_ERR_NOENTITY:
      case PA_ERR_INVALIDSERVER:
        return AudioMessages::noMicrophone;
      default:
        return AudioMessages::busy;
    }
  }

  long read(std::int16_t* out, std::size_t count) override {
    int error = 0;
    if (pa_simple_read(stream_, out, count * sizeof(std::int16_t), &error) < 0) {
      log::line(std::string("Talvane: recording stopped: ") + pa_strerror(error));
      return kFailed;
    }
    return static_cast<long>(count);
  }

  // The record stream's latency is the audio the server holds for us and we have not read.
  std::size_t buffered() override {
    int error = 0;
    const pa_usec_t waiting = pa_simple_get_latency(stream_, &error);
    if (waiting == static_cast<pa_usec_t>(-1)) return 0;
    return static_cast<std::size_t>(waiting * kSampleRate / 1'000'000);
  }

 private:
  pa_simple* stream_ = nullptr;
};

}  // namespace

std::unique_ptr<AudioInput> makePulseInput() { return std::make_unique<PulseInput>(); }

}  // namespace talvane
