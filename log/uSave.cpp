// The log window's "Save As...": the dialog, and the save itself on a worker thread.
#include <sys/stat.h>

#include <QAction>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>

#include <atomic>
#include <optional>
#include <thread>

#include "log/uLog.h"
#include "platform/gui/ErrorBox.h"

namespace {

const QString kTextFilter = QStringLiteral("Log text (*.txt)");
const QString kCaptureFilter = QStringLiteral("Capture file (*.pcapng)");
const QString kStreamsFilter = QStringLiteral("Raw streams (folder)");

const QString& FilterOf(TSaveFormat Format) {
  return Format == sfCapture ? kCaptureFilter : Format == sfRawStreams ? kStreamsFilter : kTextFilter;
}

TSaveFormat FormatOfFilter(const QString& Filter) {
  return Filter == kStreamsFilter ? sfRawStreams : Filter == kCaptureFilter ? sfCapture : sfLogText;
}

std::optional<TSaveFormat> FormatOfName(const QString& Path) { return SaveFormatOf(Path.toLocal8Bit().toStdString()); }

}  // namespace

TSaveChoice SaveChoiceFor(const QString& Path, TSaveFormat Filter) {
  if (const std::optional<TSaveFormat> named = FormatOfName(Path)) return {Path, *named};
  switch (Filter) {
    case sfLogText:
      return {Path + QStringLiteral(".txt"), sfLogText};
    case sfCapture:
      return {Path + QStringLiteral(".pcapng"), sfCapture};
    case sfRawStreams:
      break;
  }
  return {Path, sfRawStreams};  // the folder of that name, made when it is not there
}

void TLog::CreateSaveItem() {
  PopupMenu->addSeparator();
  SaveAs1 = AddItem("SaveAs1", "Save &As...", false, false, &TLog::SaveAs1Click);
  SaveAs1->setShortcut(QKeySequence::Save);
  SaveAs1->setShortcutContext(Qt::WindowShortcut);
  addAction(SaveAs1);  // the shortcut works while the log window is active, menu closed
  Tls1 = AddItem("Tls1", "&TLS...", false, false, &TLog::Tls1Click);
}

void TLog::Tls1Click(QObject*) {
  if (OnTlsSettings) OnTlsSettings(this);
}

void TLog::SaveAs1Click(QObject*) {
  QFileDialog dialog(this, QStringLiteral("Save As"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({kTextFilter, kCaptureFilter, kStreamsFilter});
  // The name is made final here, extension and all, and only then is it known whether it exists.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  // The filter follows the name as it is typed, where the dialog lets the name be watched.
  if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
    connect(name, &QLineEdit::textChanged, &dialog, [&dialog](const QString& Text) {
      const std::optional<TSaveFormat> named = FormatOfName(QDir(dialog.directory()).absoluteFilePath(Text));
      if (named && dialog.selectedNameFilter() != FilterOf(*named)) dialog.selectNameFilter(FilterOf(*named));
    });
  }
  TSaveChoice choice;
  for (;;) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    choice = SaveChoiceFor(dialog.selectedFiles().first(), FormatOfFilter(dialog.selectedNameFilter()));
    // A folder for raw streams is written into; a file that is there is replaced only when the
    // user says so.
    const QFileInfo there(choice.Path);
    if (choice.Format == sfRawStreams || !there.exists() || there.isDir()) break;
    const auto answer = QMessageBox::warning(
        this, dialog.windowTitle(),
        QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(there.fileName()),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer == QMessageBox::Yes) break;
  }
  SaveTo(choice.Path, choice.Format);
}

bool TLog::SaveTo(const QString& Path, TSaveFormat Format) {
  const std::string path = Path.toLocal8Bit().toStdString();
  TSaveProgress progress;
  std::atomic<bool> done{false};
  bool saved = false;
  std::string error;
  // The worker only reads the record, which takes readers on other threads; the relay goes on
  // adding entries meanwhile (those after the start are not saved).
  SaveAs1->setEnabled(false);
  std::thread worker([&] {
    saved = SaveRecord(FRecord, path, Format, error, &progress);
    done = true;
  });
  {
    QProgressDialog dialog(QStringLiteral("Saving the log..."), QStringLiteral("Cancel"), 0, 1000, this);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setMinimumDuration(400);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(30);
    connect(&tick, &QTimer::timeout, &loop, [&] {
      if (dialog.wasCanceled()) progress.Cancel = true;
      if (done) return loop.quit();
      const std::uint64_t total = progress.Total;
      dialog.setValue(total == 0 ? 0 : static_cast<int>(progress.Done * 1000 / total));
    });
    tick.start();
    if (!done) loop.exec();
  }
  // The loop ends before the save only when the application quits (the main window was closed,
  // which ends every loop of the thread): the program is ending, so the save is cancelled, which
  // takes the worker one entry, and leaves no file behind.
  if (!done) progress.Cancel = true;
  worker.join();
  SaveAs1->setEnabled(true);
  if (!saved && !progress.Cancel) platform::gui::ShowErrorMessage("Cannot save the log to " + path + ":\n" + error);
  return saved;
}
