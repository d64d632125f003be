// Public. The send bar at the bottom of the log window: bytes typed as text with escapes or as
// hex (record/TypedBytes.h), sent into the sessions selected in the sessions list, toward the
// remote side or the local client.
//
//   [Send: GET / HTTP/1.0\r\n\r\n____] [to Remote v] [ ] Hex [Send]  sent 18 bytes to session 3  [x]
//
// The log knows no sockets: the bar hands each send to its Sender, which the owner of the relay
// binds to the engine. Input that does not parse is shown as an error and nothing is sent; a
// session that refuses (its side has ended or reset) says so in the status and the others are
// sent to all the same.
#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "record/EntrySink.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

class TSendBar : public QWidget {
public:
  explicit TSendBar(QWidget* Parent = nullptr);

  QLineEdit* SendText = nullptr;
  QComboBox* SendTo = nullptr;  // "to Remote" (edFromLocal's way), "to Local" (edFromRemote's way)
  QCheckBox* SendHex = nullptr;
  QPushButton* SendBtn = nullptr;
  QLabel* SendStatus = nullptr;
  QToolButton* CloseBtn = nullptr;

  // Shows the bar with the text field focused.
  void Open();
  void Close();

  // The bytes the field holds as the hex box says; false and Error when they do not parse.
  bool Bytes(std::string& Out, std::string& Error) const;
  // The way the bytes go: edFromLocal (to Remote) or edFromRemote (to Local).
  TEntryDirection Way() const;
  // Sends the field's bytes to every session Sessions() gives; the status says what happened.
  // Returns the number of sessions sent to.
  int Send();
  // The status as shown, and whether it reports an error.
  QString Status() const;
  bool StatusIsError() const noexcept { return FError; }
  void ShowStatus(const QString& Text, bool Error);

  // The sessions to send to (the sessions list's selection).
  std::function<std::vector<std::uint64_t>()> Sessions;
  // Sends Bytes into session Id the way Way; false and Error (one line) when refused.
  std::function<bool(std::uint64_t Id, TEntryDirection Way, const std::string& Bytes, std::string& Error)> Sender;

private:
  bool FError = false;
};
