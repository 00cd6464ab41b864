#include "platform/win32/readers.h"

namespace palomir::win32 {

namespace {

// Not spoken to yet: never opens, so the next reader is asked.
class JawsBackend final : public SleepingBackend {
 public:
  Status Open(const std::atomic<bool>& /*stop*/) override { return Status::Fail("Jaws is not running"); }
  Status Say(const std::string& /*text*/, const std::atomic<bool>& /*cut*/) override { return Status::Ok(); }
};

}  // namespace

std::unique_ptr<VoiceBackend> JawsReader(const SapiSetup& /*setup*/) { return std::make_unique<JawsBackend>(); }

}  // namespace palomir::win32
