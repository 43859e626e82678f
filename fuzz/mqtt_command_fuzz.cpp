// A message on the monitoring set topic: whatever its bytes and flags, only
// a small unretained payload is taken, and only the exact command forms
// switch anything, a snooze's minutes within range.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "mqtt/MqttTopics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const bool retained = provider.ConsumeBool();
  const std::string payload = provider.ConsumeRemainingBytesAsString();
  const CommandIntake intake = JudgeCommandMessage(retained, payload.size());
  FUZZ_CHECK((intake == CommandIntake::Take) == (!retained && payload.size() <= kMaxMqttCommandBytes));
  const MonitoringCommand command = ParseMonitoringCommand(payload);
  switch (command.kind) {
  case MonitoringCommand::On: FUZZ_CHECK(payload == "ON"); break;
  case MonitoringCommand::Off: FUZZ_CHECK(payload == "OFF"); break;
  case MonitoringCommand::Snooze:
    FUZZ_CHECK(command.minutes >= 1 && command.minutes <= kMaxSnoozeMinutes);
    FUZZ_CHECK(payload == "SNOOZE:" + std::to_string(command.minutes) || payload.rfind("SNOOZE:0", 0) == 0);
    break;
  case MonitoringCommand::BadSnooze: FUZZ_CHECK(payload.rfind("SNOOZE:", 0) == 0); break;
  case MonitoringCommand::Unknown: FUZZ_CHECK(payload.rfind("SNOOZE:", 0) != 0); break;
  }
  return 0;
}
