#include "tests/app/shell_fixture.h"

#include "platform/text.h"
#include "platform/ui/ui_backend.h"
#include "tests/support/shell_layers.h"

void ResetShellForTests() {
  ResetShellLayersForTests();
  UiSelectBackend(UiBackendKind::Recording);
  RecordingReset();
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
