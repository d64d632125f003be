// The log window's "Save As...": the dialog, and the save itself on a worker thread.
#include <sys/stat.h>

#include <QAction>
#include <QEventLoop>
#include <QFileDialog>
#include <QMenu>
#include <QProgressDialog>
#include <QTimer>

#include <atomic>
#include <thread>

#include "log/uLog.h"
#include "platform/gui/ErrorBox.h"

namespace {

const QString kTextFilter = QStringLiteral("Log text (*.txt)");
const QString kCaptureFilter = QStringLiteral("Capture file (*.pcapng)");
const QString kStreamsFilter = QStringLiteral("Raw streams (folder)");

}  // namespace

void TLog::CreateSaveItem() {
  PopupMenu->addSeparator();
  SaveAs1 = AddItem("SaveAs1", "Save &As...", false, false, &TLog::SaveAs1Click);
  SaveAs1->setShortcut(QKeySequence::Save);
  SaveAs1->setShortcutContext(Qt::WindowShortcut);
  addAction(SaveAs1);  // the shortcut works while the log window is active, menu closed
}

void TLog::SaveAs1Click(QObject*) {
  QFileDialog dialog(this, QStringLiteral("Save As"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({kTextFilter, kCaptureFilter, kStreamsFilter});
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& Filter) {
    dialog.setDefaultSuffix(Filter == kTextFilter ? QStringLiteral("txt") : Filter == kCaptureFilter ? QStringLiteral("pcapng") : QString());
  });
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString path = dialog.selectedFiles().first();
  const QString filter = dialog.selectedNameFilter();
  // Raw streams: the name typed is the folder, made when it is not there.
  const TSaveFormat format = filter == kStreamsFilter ? sfRawStreams : filter == kCaptureFilter ? sfCapture : sfLogText;
  SaveTo(path, format);
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
  worker.join();
  SaveAs1->setEnabled(true);
  if (!saved && !progress.Cancel) platform::gui::ShowErrorMessage("Cannot save the log to " + path + ":\n" + error);
  return saved;
}
