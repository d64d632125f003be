// Public. The "Faults..." dialog of the log window: the listener's faults as text, one rule a line
// (see stream/FaultSpec.h), checked as the command line checks --fault. OK with a line that does not
// parse keeps the dialog open and shows which line and which part is wrong.
#pragma once

#include <QDialog>

#include "stream/FaultSpec.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TFaultsDialog : public QDialog {
public:
  TFaultsDialog(const TFaultSet& Faults, QWidget* Parent);

  QPlainTextEdit* Rules = nullptr;
  QLabel* Problem = nullptr;  // the first bad line's error; empty while none
  QPushButton* OkBtn = nullptr;

  // The faults as typed, once accepted.
  const TFaultSet& Faults() const noexcept { return FFaults; }
  // Reads the text: true and the set when every line parses, else false and the error shown.
  bool Check();

  void accept() override;

private:
  TFaultSet FFaults;
};
