// The file chooser: browses the module's object store through the module's
// own file calls, shows and returns backslash paths. Typing a folder goes
// there; what the user accepts is judged by FileDialogCheck, so every
// backend applies the same options. The read-only box is not offered: the
// program never reads it, so a box there would promise what nothing keeps.
#include <QComboBox>
#include <QDate>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTime>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>

#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/qt/qt_internal.h"

namespace {

constexpr int kChooserWidth = 420;
constexpr int kChooserHeight = 320;
constexpr int kFolderRole = Qt::UserRole + 1;
enum ChooserColumn { kNameColumn, kSizeColumn, kDateColumn, kColumnCount };
constexpr int kNameColumnWidth = 180;
constexpr int kSizeColumnWidth = 90;

struct Chooser {
  UiFileRequest request;
  QtChooserDone done;
  bool finished = false;
  QWidget* window = nullptr;
  QLineEdit* folder = nullptr;
  QTreeWidget* entries = nullptr;
  QLineEdit* name = nullptr;
  QComboBox* filter = nullptr;
};

using ChooserRef = std::shared_ptr<Chooser>;

void Finish(const ChooserRef& c, bool accepted, const std::u16string& path) {
  if (c->finished) return;
  c->finished = true;
  c->window->hide();
  c->window->deleteLater();
  QtReturnFocus(c->window->parentWidget());
  c->done(accepted, c->request, path);
}

// Fills the size and date columns of a file's row from the module's store.
void Describe(QTreeWidgetItem* item, const std::u16string& path) {
  WIN32_FIND_DATAW data;
  HANDLE found = FindFirstFileW(path.c_str(), &data);
  if (found == INVALID_HANDLE_VALUE) return;
  FindClose(found);
  uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  item->setText(kSizeColumn, QLocale().toString(static_cast<qulonglong>(size)));
  item->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
  SYSTEMTIME t;
  if (FileTimeToSystemTime(&data.ftLastWriteTime, &t)) {
    QDate day(t.wYear, t.wMonth, t.wDay);
    QTime time(t.wHour, t.wMinute);
    item->setText(kDateColumn, day.toString("yyyy-MM-dd") + " " + time.toString("HH:mm"));
  }
}

void Refresh(const ChooserRef& c) {
  c->folder->setText(QtString(c->request.folder));
  c->entries->clear();
  for (const FileDialogEntry& e : FileDialogList(c->request, c->request.folder)) {
    auto* item = new QTreeWidgetItem(c->entries, {QtString(e.name) + (e.folder ? "\\" : "")});
    item->setData(kNameColumn, kFolderRole, e.folder);
    if (!e.folder) Describe(item, FileDialogJoin(c->request.folder, e.name));
  }
}

// "IMAGE files (*.bin)": what the filter matches, unless its text says so.
QString FilterText(const UiFileFilter& filter) {
  QString description = QtString(filter.description);
  QStringList patterns;
  for (const std::u16string& p : filter.patterns) patterns << QtString(p);
  QString joined = patterns.join(';');
  if (joined.isEmpty() || description.contains(joined, Qt::CaseInsensitive)) return description;
  return description + " (" + joined + ")";
}

void Navigate(const ChooserRef& c, const std::u16string& folder) {
  c->request.folder = folder;
  Refresh(c);
}

// Judges what stands in the name field; keeps the chooser open on a problem.
void Accept(const ChooserRef& c, const QString& typed) {
  std::u16string path;
  std::u16string message;
  switch (FileDialogCheck(c->request, QtText(typed), &path, &message)) {
    case FileCheck::Accept:
      Finish(c, true, path);
      return;
    case FileCheck::Folder:
      // A folder typed as the name is used up; a proposed name survives
      // browsing through the folders.
      if (typed == c->name->text()) c->name->clear();
      Navigate(c, path);
      return;
    case FileCheck::Problem:
      QMessageBox::warning(c->window, QtString(c->request.title), QtString(message));
      return;
    case FileCheck::AskOverwrite:
      if (QMessageBox::question(c->window, QtString(c->request.title), QtString(message),
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes) {
        Finish(c, true, path);
      }
      return;
  }
}

QWidget* Row(QWidget* parent, const char* label, QWidget* field, QWidget* extra = nullptr) {
  auto* row = new QWidget(parent);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(new QLabel(label, row));
  field->setParent(row);
  layout->addWidget(field, 1);
  if (extra) {
    extra->setParent(row);
    layout->addWidget(extra);
  }
  return row;
}

void Build(const ChooserRef& c, QWidget* parent) {
  auto* w = new QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                    Qt::WindowCloseButtonHint);
  c->window = w;
  w->setObjectName("fileDialog");
  w->setWindowTitle(QtString(c->request.title));
  w->setWindowModality(parent ? Qt::WindowModal : Qt::NonModal);
  w->resize(kChooserWidth, kChooserHeight);
  auto* layout = new QVBoxLayout(w);

  c->folder = new QLineEdit;
  c->folder->setObjectName("folder");
  auto* up = new QPushButton("Up");
  up->setObjectName("up");
  layout->addWidget(Row(w, "Folder:", c->folder, up));

  c->entries = new QTreeWidget(w);
  c->entries->setObjectName("entries");
  c->entries->setColumnCount(kColumnCount);
  c->entries->setHeaderLabels({"Name", "Size", "Modified"});
  c->entries->setRootIsDecorated(false);
  c->entries->setColumnWidth(kNameColumn, kNameColumnWidth);
  c->entries->setColumnWidth(kSizeColumn, kSizeColumnWidth);
  layout->addWidget(c->entries, 1);

  c->name = new QLineEdit(QtString(c->request.fileName));
  c->name->setObjectName("fileName");
  layout->addWidget(Row(w, "Name:", c->name));

  c->filter = new QComboBox;
  c->filter->setObjectName("filter");
  for (const UiFileFilter& f : c->request.filters) c->filter->addItem(FilterText(f));
  c->filter->setCurrentIndex(static_cast<int>(c->request.filterIndex));
  layout->addWidget(Row(w, "Type:", c->filter));

  auto* buttons = new QWidget(w);
  auto* buttonLayout = new QHBoxLayout(buttons);
  buttonLayout->setContentsMargins(0, 0, 0, 0);
  buttonLayout->addStretch(1);
  auto* ok = new QPushButton(c->request.save ? "Save" : "Open", buttons);
  ok->setObjectName("ok");
  ok->setDefault(true);
  auto* cancel = new QPushButton("Cancel", buttons);
  cancel->setObjectName("cancel");
  buttonLayout->addWidget(ok);
  buttonLayout->addWidget(cancel);
  layout->addWidget(buttons);

  QObject::connect(up, &QPushButton::clicked, w, [c] { Navigate(c, FileDialogParent(c->request.folder)); });
  QObject::connect(c->folder, &QLineEdit::returnPressed, w, [c] { Accept(c, c->folder->text() + "\\"); });
  QObject::connect(c->entries, &QTreeWidget::itemClicked, w, [c](QTreeWidgetItem* item) {
    if (!item->data(kNameColumn, kFolderRole).toBool()) c->name->setText(item->text(kNameColumn));
  });
  QObject::connect(c->entries, &QTreeWidget::itemActivated, w, [c](QTreeWidgetItem* item) {
    QString text = item->text(kNameColumn);
    if (item->data(kNameColumn, kFolderRole).toBool()) text.chop(1);
    Accept(c, text);
  });
  QObject::connect(c->filter, &QComboBox::currentIndexChanged, w, [c](int index) {
    if (index >= 0) c->request.filterIndex = static_cast<size_t>(index);
    Refresh(c);
  });
  QObject::connect(c->name, &QLineEdit::returnPressed, w, [c] { Accept(c, c->name->text()); });
  QObject::connect(ok, &QPushButton::clicked, w, [c] { Accept(c, c->name->text()); });
  QObject::connect(cancel, &QPushButton::clicked, w, [c] { Finish(c, false, u""); });
  w->installEventFilter(new QtEventHook(
      [c](QObject* watched, QEvent* event) {
        if (watched != c->window) return false;
        bool escape = event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape;
        if (event->type() != QEvent::Close && !escape) return false;
        Finish(c, false, u"");
        return true;
      },
      w));
}

}  // namespace

void QtOpenFileChooser(const UiFileRequest& request, QtChooserDone done) {
  auto chooser = std::make_shared<Chooser>();
  chooser->request = request;
  chooser->done = std::move(done);
  Build(chooser, QtOwnerWidget(request.owner));
  Refresh(chooser);
  chooser->window->show();
  QtActivate(chooser->window);
  // What the user types is a file name: the folder field is for browsing.
  chooser->name->setFocus();
  chooser->name->selectAll();
}
