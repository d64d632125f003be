// The intercept panel: its list of held chunks, the editor, the decisions, and the log window's
// "Intercept" check item that shows it and switches Intercept on and off.
#include "log/uIntercept.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

#include "log/uLog.h"
#include "record/TypedBytes.h"

namespace {

QString WayText(TFaultDirection D) { return D == fdRemote ? QStringLiteral("to Remote") : QStringLiteral("to Local"); }

// What a decision waiting behind an undecided chunk shows.
QString WaitingText(TInterceptAction How) {
  switch (How) {
    case iaForward: return QStringLiteral("forward, waits");
    case iaEdit: return QStringLiteral("edited, waits");
    case iaDrop: return QStringLiteral("drop, waits");
    default: return QStringLiteral("held");
  }
}

// The start of a chunk as text with escapes, short enough for a column.
QString StartText(const std::string& Bytes) {
  constexpr std::size_t kShown = 48;
  std::string text = EscapedText(std::string_view(Bytes).substr(0, kShown));
  if (Bytes.size() > kShown) text += "...";
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

// ---- the model ----

int THeldChunksModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int THeldChunksModel::columnCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : hcColumns; }

QVariant THeldChunksModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Role != Qt::DisplayRole || Index.row() >= rowCount()) return {};
  const TRow& r = FRows[static_cast<std::size_t>(Index.row())];
  switch (Index.column()) {
    case hcNumber: return QString::number(r.Chunk.Number);
    case hcSession: return QString::number(r.Chunk.Session);
    case hcWay: return WayText(r.Chunk.Direction);
    case hcBytes: return QString::number(r.Chunk.Bytes.size());
    case hcStart: return StartText(r.Chunk.Bytes);
    case hcDecision: return r.Decision;
    default: return {};
  }
}

QVariant THeldChunksModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole) return {};
  static const char* const kNames[hcColumns] = {"#", "Session", "Way", "Bytes", "Start", "Decision"};
  return Section >= 0 && Section < hcColumns ? QString::fromLatin1(kNames[Section]) : QVariant();
}

// Chunks are numbered in the order they are held, and come here in that order: the rows stay
// sorted by number, and a row is found by a binary search.
int THeldChunksModel::RowOf(std::uint64_t Number) const {
  const auto it = std::lower_bound(FRows.begin(), FRows.end(), Number,
                                   [](const TRow& R, std::uint64_t N) { return R.Chunk.Number < N; });
  return it != FRows.end() && it->Chunk.Number == Number ? static_cast<int>(it - FRows.begin()) : -1;
}

void THeldChunksModel::Add(const TInterceptedChunk& Chunk) {
  const int row = rowCount();
  if (row > 0 && FRows.back().Chunk.Number >= Chunk.Number) return;
  beginInsertRows(QModelIndex(), row, row);
  FRows.push_back({Chunk, QStringLiteral("held")});
  endInsertRows();
}

void THeldChunksModel::Remove(std::uint64_t Number) {
  const int row = RowOf(Number);
  if (row < 0) return;
  beginRemoveRows(QModelIndex(), row, row);
  FRows.erase(FRows.begin() + row);
  endRemoveRows();
}

void THeldChunksModel::SetDecision(std::uint64_t Number, const QString& Decision) {
  const int row = RowOf(Number);
  if (row < 0) return;
  FRows[static_cast<std::size_t>(row)].Decision = Decision;
  emit dataChanged(index(row, hcDecision), index(row, hcDecision));
}

void THeldChunksModel::Clear() {
  beginResetModel();
  FRows.clear();
  endResetModel();
}

// ---- the panel ----

TInterceptPanel::TInterceptPanel(QWidget* Parent) : QWidget(Parent), FModel(this) {
  setObjectName(QStringLiteral("InterceptPanel"));
  InterceptTo = new QComboBox(this);
  InterceptTo->setObjectName(QStringLiteral("InterceptTo"));
  InterceptTo->addItem(QStringLiteral("to Remote and Local"));
  InterceptTo->addItem(QStringLiteral("to Remote"));
  InterceptTo->addItem(QStringLiteral("to Local"));
  InterceptMatch = new QLineEdit(this);
  InterceptMatch->setObjectName(QStringLiteral("InterceptMatch"));
  InterceptMatch->setPlaceholderText(QStringLiteral("every chunk; or chunks that contain this (\\r \\n \\t \\xNN \\\\, or hex)"));
  MatchHex = new QCheckBox(QStringLiteral("Hex"), this);
  MatchHex->setObjectName(QStringLiteral("MatchHex"));
  HeldList = new QTableView(this);
  HeldList->setObjectName(QStringLiteral("HeldList"));
  HeldList->setModel(&FModel);
  HeldList->setSelectionBehavior(QAbstractItemView::SelectRows);
  HeldList->setSelectionMode(QAbstractItemView::SingleSelection);
  HeldList->verticalHeader()->hide();
  HeldList->horizontalHeader()->setStretchLastSection(true);
  ChunkEditor = new QPlainTextEdit(this);
  ChunkEditor->setObjectName(QStringLiteral("ChunkEditor"));
  ChunkEditor->setPlaceholderText(QStringLiteral("the selected chunk, to edit before \"Forward edited\""));
  EditorHex = new QCheckBox(QStringLiteral("He&x"), this);
  EditorHex->setObjectName(QStringLiteral("EditorHex"));
  const auto button = [this](const char* Name, const char* Caption) {
    auto* b = new QPushButton(QString::fromLatin1(Caption), this);
    b->setObjectName(QString::fromLatin1(Name));
    return b;
  };
  ForwardBtn = button("ForwardBtn", "&Forward");
  ForwardEditedBtn = button("ForwardEditedBtn", "Forward &edited");
  DropBtn = button("DropBtn", "&Drop");
  ForwardAllBtn = button("ForwardAllBtn", "Forward &all");
  InterceptStatus = new QLabel(this);
  InterceptStatus->setObjectName(QStringLiteral("InterceptStatus"));

  auto* settings = new QHBoxLayout;
  settings->addWidget(new QLabel(QStringLiteral("Intercept"), this));
  settings->addWidget(InterceptTo);
  auto* matchLabel = new QLabel(QStringLiteral("Match:"), this);
  matchLabel->setBuddy(InterceptMatch);
  settings->addWidget(matchLabel);
  settings->addWidget(InterceptMatch, 1);
  settings->addWidget(MatchHex);
  auto* editor = new QHBoxLayout;
  editor->addWidget(ChunkEditor, 1);
  editor->addWidget(EditorHex, 0, Qt::AlignTop);
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {ForwardBtn, ForwardEditedBtn, DropBtn, ForwardAllBtn}) buttons->addWidget(b);
  buttons->addWidget(InterceptStatus, 1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->addLayout(settings);
  layout->addWidget(HeldList, 2);
  layout->addLayout(editor, 1);
  layout->addLayout(buttons);

  connect(InterceptTo, &QComboBox::currentIndexChanged, this, [this] { SettingsEdited(); });
  connect(InterceptMatch, &QLineEdit::editingFinished, this, [this] { SettingsEdited(); });
  connect(MatchHex, &QCheckBox::toggled, this, [this] { SettingsEdited(); });
  connect(HeldList->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] { SelectionMoved(); });
  connect(EditorHex, &QCheckBox::toggled, this, [this](bool Hex) {
    // The edit so far, shown the other way; an edit that does not parse stays as it is.
    std::string bytes, error;
    const bool wasHex = !Hex;
    const std::string text = ChunkEditor->toPlainText().toStdString();
    if (!(wasHex ? ParseHexBytes(text, bytes, error) : ParseEscapedText(text, bytes, error))) {
      ShowStatus(QString::fromStdString(error), true);
      return;
    }
    ChunkEditor->setPlainText(QString::fromStdString(Hex ? HexText(bytes) : EscapedText(bytes)));
  });
  connect(ForwardBtn, &QPushButton::clicked, this, [this] { Forward(); });
  connect(ForwardEditedBtn, &QPushButton::clicked, this, [this] { ForwardEdited(); });
  connect(DropBtn, &QPushButton::clicked, this, [this] { Drop(); });
  connect(ForwardAllBtn, &QPushButton::clicked, this, [this] { ForwardAll(); });
}

bool TInterceptPanel::Settings(bool On, TInterceptSettings& Out, std::string& Error) const {
  TInterceptSettings s;
  s.On = On;
  s.ToRemote = InterceptTo->currentIndex() != 2;
  s.ToLocal = InterceptTo->currentIndex() != 1;
  const std::string text = InterceptMatch->text().toStdString();
  if (!(MatchHex->isChecked() ? ParseHexBytes(text, s.Match, Error) : ParseEscapedText(text, s.Match, Error))) {
    Error = "match: " + Error;
    return false;
  }
  Out = s;
  return true;
}

void TInterceptPanel::SettingsEdited() {
  if (OnSettingsEdited) OnSettingsEdited();
}

void TInterceptPanel::ChunkHeld(const TInterceptedChunk& Chunk) {
  FModel.Add(Chunk);
  if (FCurrent == 0) Select(Chunk.Number);
}

void TInterceptPanel::ChunkLeft(std::uint64_t Number, TInterceptAction) {
  const int row = FModel.RowOf(Number);
  if (row < 0) return;
  const bool current = Number == FCurrent;
  FModel.Remove(Number);
  // The next chunk in line takes the editor, so that chunks can be decided one after another.
  if (current) {
    FCurrent = 0;
    if (FModel.rowCount() > 0) Select(FModel.Chunk(std::min(row, FModel.rowCount() - 1)).Number);
    else ShowCurrent();
  }
}

void TInterceptPanel::Select(std::uint64_t Number) {
  const int row = FModel.RowOf(Number);
  if (row < 0) return;
  if (FCurrent == Number) return;
  FCurrent = Number;
  HeldList->selectionModel()->setCurrentIndex(FModel.index(row, 0),
                                              QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  ShowCurrent();
}

void TInterceptPanel::SelectionMoved() {
  const QModelIndex at = HeldList->selectionModel()->currentIndex();
  if (!at.isValid() || at.row() >= FModel.rowCount()) return;
  const std::uint64_t number = FModel.Chunk(at.row()).Number;
  if (number == FCurrent) return;
  FCurrent = number;
  ShowCurrent();
}

void TInterceptPanel::ShowCurrent() {
  const int row = FModel.RowOf(FCurrent);
  if (row < 0) {
    ChunkEditor->clear();
    return;
  }
  const std::string& bytes = FModel.Chunk(row).Bytes;
  ChunkEditor->setPlainText(QString::fromStdString(EditorHex->isChecked() ? HexText(bytes) : EscapedText(bytes)));
}

bool TInterceptPanel::Edited(std::string& Out, std::string& Error) const {
  const std::string text = ChunkEditor->toPlainText().toStdString();
  return EditorHex->isChecked() ? ParseHexBytes(text, Out, Error) : ParseEscapedText(text, Out, Error);
}

bool TInterceptPanel::Forward() { return Decide(iaForward); }
bool TInterceptPanel::ForwardEdited() { return Decide(iaEdit); }
bool TInterceptPanel::Drop() { return Decide(iaDrop); }

bool TInterceptPanel::Decide(TInterceptAction How) {
  if (FModel.RowOf(FCurrent) < 0) {
    ShowStatus(QStringLiteral("select a held chunk first"), true);
    return false;
  }
  std::string edited, error;
  if (How == iaEdit && !Edited(edited, error)) {
    ShowStatus(QString::fromStdString(error), true);
    return false;
  }
  const std::uint64_t number = FCurrent;
  if (!OnDecide) {
    ShowStatus(QStringLiteral("nothing relays here"), true);
    return false;
  }
  if (!OnDecide(number, How, edited, error)) {
    ShowStatus(QString::fromStdString(error), true);
    return false;
  }
  // Gone at once, or waiting behind an undecided chunk: then it shows its decision.
  FModel.SetDecision(number, WaitingText(How));
  const QString what = How == iaForward ? QStringLiteral("forwarded") : How == iaEdit ? QStringLiteral("edited") : QStringLiteral("dropped");
  ShowStatus(QStringLiteral("#%1 %2").arg(number).arg(what), false);
  // A chunk that waits keeps the list's place; the editor moves on to the next undecided one.
  if (FModel.RowOf(number) >= 0) {
    for (int r = FModel.RowOf(number) + 1; r < FModel.rowCount(); ++r)
      if (FModel.Decision(r) == QStringLiteral("held")) {
        Select(FModel.Chunk(r).Number);
        break;
      }
  }
  return true;
}

void TInterceptPanel::ForwardAll() {
  int undecided = 0;
  for (int r = 0; r < FModel.rowCount(); ++r) undecided += FModel.Decision(r) == QStringLiteral("held");
  if (!OnForwardAll) {
    ShowStatus(QStringLiteral("nothing relays here"), true);
    return;
  }
  OnForwardAll();
  ShowStatus(QStringLiteral("%1 held chunks forwarded").arg(undecided), false);
}

QString TInterceptPanel::Status() const { return InterceptStatus->text(); }

void TInterceptPanel::ShowStatus(const QString& Text, bool Error) {
  FError = Error;
  InterceptStatus->setText(Text);
  InterceptStatus->setStyleSheet(Error ? QStringLiteral("color: #c00000") : QString());
}

// ---- the log window's check item ----

void TLog::CreateInterceptItem() {
  Intercept1 = AddItem("Intercept1", "&Intercept", true, false, &TLog::Intercept1Click);
}

// Checked, the panel shows and Intercept holds as the panel's settings say; unchecked, every
// queue lets go in order and the panel hides once it holds nothing. A match that does not parse
// leaves the item unchecked and says why in the panel.
void TLog::Intercept1Click(QObject*) {
  Intercept1->setChecked(!Intercept1->isChecked());
  if (Intercept1->isChecked()) InterceptPanel->show();
  if (!ApplyIntercept()) Intercept1->setChecked(false);
  if (!Intercept1->isChecked() && InterceptPanel->Model().rowCount() == 0 && !InterceptPanel->StatusIsError())
    InterceptPanel->hide();
}

bool TLog::ApplyIntercept() {
  TInterceptSettings settings;
  std::string error;
  if (!InterceptPanel->Settings(Intercept1->isChecked(), settings, error)) {
    InterceptPanel->ShowStatus(QString::fromStdString(error), true);
    if (Intercept1->isChecked()) return false;
    // Switching off needs no match.
    settings = FIntercept;
    settings.On = false;
  } else {
    InterceptPanel->ShowStatus(QString(), false);
  }
  if (settings == FIntercept) return true;
  FIntercept = settings;
  if (OnInterceptChange) OnInterceptChange(this, FIntercept);
  return true;
}

void TLog::ChunkHeld(const TInterceptedChunk& Chunk) {
  InterceptPanel->ChunkHeld(Chunk);
  InterceptPanel->show();
}

void TLog::ChunkLeft(std::uint64_t Number, TInterceptAction How) {
  InterceptPanel->ChunkLeft(Number, How);
  if (!Intercept1->isChecked() && InterceptPanel->Model().rowCount() == 0) InterceptPanel->hide();
}
