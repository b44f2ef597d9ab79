#include "app/resources.h"

#include "app/backup_dialog.h"
#include "app/main_dialog.h"
#include "app/progress.h"

namespace {

const DialogTemplate* const kShellTemplates[] = {&kMainDialogTemplate, &kProgressDialogTemplate,
                                                    &kBackupDialogTemplate};

}  // namespace

void RegisterShellTemplates(HINSTANCE instance) {
  RegisterDialogTemplates(instance, kShellTemplates, sizeof kShellTemplates / sizeof kShellTemplates[0]);
}
