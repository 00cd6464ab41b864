#include "platform/win32/readers.h"

namespace palomir::win32 {

namespace {

// Not spoken to yet: never opens, so the next reader is asked.
class NvdaBackend final : public SleepingBackend {
 public:
  Status Open(const std::atomic<bool>& /*stop*/) override { return Status::Fail("Nvda is not running"); }
  Status Say(const std::string& /*text*/, const std::atomic<bool>& /*cut*/) override { return Status::Ok(); }
};

}  // namespace

std::unique_ptr<VoiceBackend> NvdaReader(const SapiSetup& /*setup*/) { return std::make_unique<NvdaBackend>(); }

}  // namespace palomir::win32
