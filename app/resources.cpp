#include "app/resources.h"

#include "app/main_dialog.h"

namespace {

const DialogTemplate* const kShellTemplates[] = {&kMainDialogTemplate};

}  // namespace

void RegisterShellTemplates(HINSTANCE instance) {
  RegisterDialogTemplates(instance, kShellTemplates, sizeof kShellTemplates / sizeof kShellTemplates[0]);
}
