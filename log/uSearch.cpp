// The search bar: the pattern, the worker thread, and the matches as the view draws them.
#include "log/uSearch.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <chrono>

#include "record/AnsiText.h"
#include "log/uLogView.h"

namespace {

// A search starts when the typing has paused this long, not at every key.
constexpr int kTypingMs = 200;
// New entries are searched at most this often while the search follows them.
constexpr int kFollowMs = 250;
// The worker hands its matches over at most this often, the first at once.
constexpr auto kBatchInterval = std::chrono::milliseconds(50);

}  // namespace

struct TSearchBar::TBatch {
  std::vector<TSearchPart> Parts;
  std::vector<std::uint32_t> Counts;  // parts of each match, in order
};

TSearchBar::TSearchBar(const TTrafficRecord& Record, TLogView& View, QWidget* Parent)
    : QWidget(Parent), FRecord(Record), FView(View) {
  setObjectName(QStringLiteral("SearchBar"));
  auto* label = new QLabel(QStringLiteral("Find:"), this);
  SearchText = new QLineEdit(this);
  SearchText->setObjectName(QStringLiteral("SearchText"));
  SearchText->setPlaceholderText(QStringLiteral("text, or hex bytes: 0d 0a 47"));
  SearchText->setClearButtonEnabled(true);
  label->setBuddy(SearchText);
  MatchCase = new QCheckBox(QStringLiteral("Match &case"), this);
  MatchCase->setObjectName(QStringLiteral("MatchCase"));
  HexBytes = new QCheckBox(QStringLiteral("&Hex"), this);
  HexBytes->setObjectName(QStringLiteral("HexBytes"));
  HexBytes->setToolTip(QStringLiteral("Find bytes written in hex: \"0d 0a 47\" or \"0d0a47\""));
  const auto tool = [this](const char* Name, Qt::ArrowType Arrow, const QString& Tip) {
    auto* b = new QToolButton(this);
    b->setObjectName(QString::fromLatin1(Name));
    b->setArrowType(Arrow);
    b->setToolTip(Tip);
    b->setAutoRaise(true);
    return b;
  };
  PreviousBtn = tool("PreviousBtn", Qt::UpArrow, QStringLiteral("Previous match (Shift+F3)"));
  NextBtn = tool("NextBtn", Qt::DownArrow, QStringLiteral("Next match (F3)"));
  SearchStatus = new QLabel(this);
  SearchStatus->setObjectName(QStringLiteral("SearchStatus"));
  SearchStatus->setMinimumWidth(SearchStatus->fontMetrics().horizontalAdvance(QStringLiteral("0000000 of 1000000+...")));
  CloseBtn = new QToolButton(this);
  CloseBtn->setObjectName(QStringLiteral("CloseBtn"));
  CloseBtn->setText(QStringLiteral("x"));
  CloseBtn->setToolTip(QStringLiteral("Close (Esc)"));
  CloseBtn->setAutoRaise(true);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(2, 1, 2, 1);
  layout->addWidget(label);
  layout->addWidget(SearchText, 1);
  layout->addWidget(MatchCase);
  layout->addWidget(HexBytes);
  layout->addWidget(PreviousBtn);
  layout->addWidget(NextBtn);
  layout->addWidget(SearchStatus);
  layout->addWidget(CloseBtn);

  FTyping = new QTimer(this);
  FTyping->setSingleShot(true);
  FTyping->setInterval(kTypingMs);
  connect(FTyping, &QTimer::timeout, this, [this] { Restart(); });
  FFollow = new QTimer(this);
  FFollow->setSingleShot(true);
  FFollow->setInterval(kFollowMs);
  connect(FFollow, &QTimer::timeout, this, [this] {
    if (!FEngine || FRunning || FEnded) return;
    if (FRecord.Generation() != FEngine->Generation()) return Restart();
    if (FRecord.Count() > FEngine->Next()) RunWorker();
  });

  connect(SearchText, &QLineEdit::textChanged, this, [this] { FTyping->start(); });
  connect(MatchCase, &QCheckBox::toggled, this, [this] { Restart(); });
  connect(HexBytes, &QCheckBox::toggled, this, [this](bool On) {
    MatchCase->setEnabled(!On);  // bytes have no case
    Restart();
  });
  connect(PreviousBtn, &QToolButton::clicked, this, [this] { FindPrevious(); });
  connect(NextBtn, &QToolButton::clicked, this, [this] { FindNext(); });
  connect(CloseBtn, &QToolButton::clicked, this, [this] { Close(); });
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  escape->setContext(Qt::WidgetWithChildrenShortcut);
  connect(escape, &QShortcut::activated, this, [this] { Close(); });
  SearchText->installEventFilter(this);

  FView.SetHighlightSource([this](std::uint64_t Entry, std::uint64_t From, std::uint64_t To, std::vector<THighlight>& Out) {
    Highlights(Entry, From, To, Out);
  });
}

TSearchBar::~TSearchBar() {
  StopWorker();
  FView.SetHighlightSource(nullptr);
}

bool TSearchBar::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == SearchText && Event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(Event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      if (key->modifiers() & Qt::ShiftModifier) {
        FindPrevious();
      } else {
        FindNext();
      }
      return true;
    }
  }
  return QWidget::eventFilter(Watched, Event);
}

// ---- opening, closing, patterns ----

void TSearchBar::Open() {
  const bool wasHidden = isHidden();
  show();
  SearchText->setFocus(Qt::ShortcutFocusReason);
  SearchText->selectAll();
  if (wasHidden && !SearchText->text().isEmpty()) Restart();
}

void TSearchBar::Close() {
  StopWorker();
  DropResults();
  FTyping->stop();
  FFollow->stop();
  FError.clear();
  hide();
  UpdateStatus();
  FView.setFocus(Qt::OtherFocusReason);
}

bool TSearchBar::Pattern(std::string& Out, QString& Error) const {
  Out.clear();
  const QString text = SearchText->text();
  if (text.isEmpty()) return false;
  if (HexBytes->isChecked()) {
    std::string error;
    if (ParseHexBytes(text.toStdString(), Out, error)) return true;
    Error = QStringLiteral("not hex: ") + QString::fromStdString(error);
    return false;
  }
  if (AnsiBytes(text, Out)) return true;
  Error = QStringLiteral("cannot be in the log: ") + text.at(static_cast<qsizetype>(Out.size()));
  return false;
}

void TSearchBar::SetFilter(const TEntryFilter& Filter) {
  if (Filter == FFilter) return;
  FFilter = Filter;
  if (!isHidden()) Restart();
}

void TSearchBar::EntriesAdded() {
  if (FEngine && !FRunning && !FEnded && !FFollow->isActive()) FFollow->start();
}

void TSearchBar::RecordCleared() {
  // Every match named an entry that has gone.
  if (FEngine || !FError.isEmpty()) Restart();
}

void TSearchBar::Restart() {
  FTyping->stop();
  FFollow->stop();
  StopWorker();
  DropResults();
  FEnded = false;
  FError.clear();
  std::string pattern;
  if (isHidden() || !Pattern(pattern, FError)) return UpdateStatus();
  const TLogLayout& layout = FView.Layout();
  FAnchor = FView.LineCount() > 0 ? layout.Place(std::min(FView.TopLine(), FView.LineCount() - 1)).Entry : 0;
  FEngine = std::make_unique<TRecordSearch>(FRecord, std::move(pattern), MatchCase->isChecked() || HexBytes->isChecked(),
                                            FFilter);
  FEngine->Limit = kMaxMatches;
  RunWorker();
  UpdateStatus();
}

// ---- the worker ----

void TSearchBar::RunWorker() {
  FCancel.store(false);
  const std::uint64_t job = ++FJob;
  const std::uint64_t to = FRecord.Count();
  TRecordSearch* engine = FEngine.get();
  FRunning = true;
  // The worker touches nothing of the bar but the cancel flag; what it finds comes back as queued
  // calls, which Qt drops if the bar has gone, and which the bar drops if the job is not its last.
  FWorker = std::thread([this, engine, job, to] {
    auto batch = std::make_shared<TBatch>();
    auto last = std::chrono::steady_clock::time_point{};
    const auto post = [&] {
      QMetaObject::invokeMethod(this, [this, job, batch] { TakeBatch(job, *batch); }, Qt::QueuedConnection);
      batch = std::make_shared<TBatch>();
      last = std::chrono::steady_clock::now();
    };
    engine->OnMatch = [&](const std::vector<TSearchPart>& Parts) {
      batch->Parts.insert(batch->Parts.end(), Parts.begin(), Parts.end());
      batch->Counts.push_back(static_cast<std::uint32_t>(Parts.size()));
      if (std::chrono::steady_clock::now() - last >= kBatchInterval) post();
    };
    const TSearchStop stop = engine->Run(to, FCancel);
    engine->OnMatch = nullptr;
    if (!batch->Counts.empty()) post();
    QMetaObject::invokeMethod(this, [this, job, stop] { Finished(job, stop); }, Qt::QueuedConnection);
  });
}

void TSearchBar::StopWorker() {
  if (FWorker.joinable()) {
    FCancel.store(true);
    FWorker.join();
  }
  FRunning = false;
  ++FJob;  // what the stopped job still has on its way is dropped
}

void TSearchBar::Finished(std::uint64_t Job, TSearchStop Stop) {
  if (Job != FJob) return;
  if (FWorker.joinable()) FWorker.join();  // it has posted its last: only its return is left
  FRunning = false;
  if (Stop == stCleared) return Restart();
  if (Stop == stLimit) FEnded = true;
  if (!FCurrent && !FMatches.empty()) MakeCurrent(0);  // none after the place the search began at
  if (Stop == stDone && FRecord.Count() > FEngine->Next()) FFollow->start();
  UpdateStatus();
}

void TSearchBar::TakeBatch(std::uint64_t Job, TBatch& Batch) {
  if (Job != FJob) return;
  const std::size_t before = FMatches.size();
  std::size_t part = 0;
  for (const std::uint32_t count : Batch.Counts) {
    const std::uint64_t match = FMatches.size();
    for (std::uint32_t k = 0; k + 1 < count; ++k, ++part) {
      FEarly.emplace_back(match, Batch.Parts[part]);
      FEarlyByEntry.emplace(Batch.Parts[part].Entry, FEarly.size() - 1);
    }
    FMatches.push_back(Batch.Parts[part++]);
  }
  if (!FCurrent) {
    // The first match at or after the entry that was at the top of the view.
    const auto from = FMatches.begin() + static_cast<std::ptrdiff_t>(before);
    const auto it = std::find_if(from, FMatches.end(), [this](const TSearchPart& P) { return P.Entry >= FAnchor; });
    if (it != FMatches.end()) MakeCurrent(static_cast<std::uint64_t>(it - FMatches.begin()));
  }
  UpdateStatus();
  FView.viewport()->update();
}

void TSearchBar::DropResults() {
  if (!FRunning) FEngine.reset();
  std::vector<TSearchPart>().swap(FMatches);
  std::vector<std::pair<std::uint64_t, TSearchPart>>().swap(FEarly);
  FEarlyByEntry.clear();
  FCurrent.reset();
  FView.viewport()->update();
}

bool TSearchBar::Searching() const { return FRunning || FTyping->isActive(); }

// ---- matches ----

std::vector<TSearchPart> TSearchBar::MatchParts(std::uint64_t Match) const {
  std::vector<TSearchPart> parts;
  if (Match >= FMatches.size()) return parts;
  const auto first = std::lower_bound(FEarly.begin(), FEarly.end(), Match,
                                      [](const auto& E, std::uint64_t M) { return E.first < M; });
  for (auto it = first; it != FEarly.end() && it->first == Match; ++it) parts.push_back(it->second);
  parts.push_back(FMatches[Match]);
  return parts;
}

void TSearchBar::MakeCurrent(std::uint64_t Match) {
  FCurrent = Match;
  const TSearchPart first = MatchParts(Match).front();
  FView.ScrollToHighlight(THighlight{first.Entry, first.From, first.Length, true});
  FView.viewport()->update();
  UpdateStatus();
}

void TSearchBar::FindNext() {
  if (isHidden()) Open();
  if (FTyping->isActive() || (!FEngine && FError.isEmpty() && !SearchText->text().isEmpty())) return Restart();
  if (FMatches.empty()) return;
  MakeCurrent(FCurrent ? (*FCurrent + 1) % FMatches.size() : 0);
}

void TSearchBar::FindPrevious() {
  if (isHidden()) Open();
  if (FTyping->isActive() || (!FEngine && FError.isEmpty() && !SearchText->text().isEmpty())) return Restart();
  if (FMatches.empty()) return;
  const std::uint64_t n = FMatches.size();
  MakeCurrent(FCurrent ? (*FCurrent + n - 1) % n : n - 1);
}

void TSearchBar::Highlights(std::uint64_t Entry, std::uint64_t From, std::uint64_t To,
                            std::vector<THighlight>& Out) const {
  // The matches that end in this entry lie in it in order and apart: find the first that reaches
  // past From, and take them up to To.
  const auto ends = std::equal_range(FMatches.begin(), FMatches.end(), TSearchPart{Entry, 0, 0},
                                     [](const TSearchPart& A, const TSearchPart& B) { return A.Entry < B.Entry; });
  auto it = std::partition_point(ends.first, ends.second, [From](const TSearchPart& P) { return P.From + P.Length <= From; });
  for (; it != ends.second && it->From < To; ++it) {
    const auto match = static_cast<std::uint64_t>(it - FMatches.begin());
    Out.push_back({Entry, it->From, it->Length, FCurrent == match});
  }
  const auto early = FEarlyByEntry.equal_range(Entry);
  for (auto e = early.first; e != early.second; ++e) {
    const auto& [match, part] = FEarly[e->second];
    if (part.From < To && part.From + part.Length > From) Out.push_back({Entry, part.From, part.Length, FCurrent == match});
  }
}

void TSearchBar::UpdateStatus() {
  QString text;
  if (!FError.isEmpty()) {
    text = FError;
  } else if (FEngine) {
    const QString total = QString::number(FMatches.size()) + (FEnded ? QStringLiteral("+") : QString());
    if (FMatches.empty()) {
      text = FRunning ? QStringLiteral("searching...") : QStringLiteral("not found");
    } else if (FCurrent) {
      text = QStringLiteral("%1 of %2").arg(*FCurrent + 1).arg(total);
    } else {
      text = QStringLiteral("%1 found").arg(total);
    }
    if (FRunning && !FMatches.empty()) text += QStringLiteral("...");
  }
  SearchStatus->setText(text);
}
