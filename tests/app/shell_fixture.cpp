#include "tests/app/shell_fixture.h"

#include "app/command_line.h"
#include "app/progress.h"
#include "app/resources.h"
#include "app/shell_state.h"
#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nor.h"
#include "fwlib/library_state.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "platform/ui/ui_backend.h"
#include "tests/support/program_layers.h"

void ResetShellForTests() {
  ProgressResetForTests();
  ResetProgramLayersForTests();
  ShellStateResetForTests();
  CommandTableResetForTests();
  ClockSkipSleepsForTests(false);
  UiSelectBackend(UiBackendKind::Recording);
  RecordingReset();
  RegisterShellTemplates(nullptr);
}

std::vector<RecordedEvent> RecordedOfKind(RecordedKind kind) {
  std::vector<RecordedEvent> found;
  for (const RecordedEvent& e : RecordingEvents()) {
    if (e.kind == kind) found.push_back(e);
  }
  return found;
}

std::vector<std::string> RecordedMessages() {
  std::vector<std::string> texts;
  for (const RecordedEvent& e : RecordedOfKind(RecordedKind::MessageBox)) {
    texts.push_back(Utf16ToUtf8(e.caption) + ": " + Utf16ToUtf8(e.text) + " (" + std::to_string(e.style) + ")");
  }
  return texts;
}
