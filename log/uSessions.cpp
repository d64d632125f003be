// The sessions list and the filter of the log view.
#include "log/uSessions.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "log/uLogView.h"
#include "log/uSessionsModel.h"

namespace {

// The list shows changes at most this often: under load the relay changes sessions many times a
// second, and a list that redraws faster than that is only harder to read.
constexpr int kRefreshMs = 250;
// New entries reach a filtered view about as fast as the view takes them up unfiltered.
constexpr int kFilterMs = 33;

}  // namespace

TSessionsPanel::TSessionsPanel(const TTrafficRecord& Record, TLogView& View, QWidget* Parent)
    : QWidget(Parent), FRecord(Record), FView(View) {
  setObjectName(QStringLiteral("SessionsPanel"));
  Model = new TSessionsModel(Record, this);

  ShowAllBtn = new QPushButton(QStringLiteral("Show &all"), this);
  ShowAllBtn->setObjectName(QStringLiteral("ShowAllBtn"));
  ShowAllBtn->setToolTip(QStringLiteral("Show the entries of every session, both ways"));
  DirectionBox = new QComboBox(this);
  DirectionBox->setObjectName(QStringLiteral("DirectionBox"));
  DirectionBox->addItems({QStringLiteral("Both ways"), QStringLiteral("From local"), QStringLiteral("From remote")});
  DistinctColorsBox = new QCheckBox(QStringLiteral("&Distinct colours"), this);
  DistinctColorsBox->setObjectName(QStringLiteral("DistinctColorsBox"));
  DistinctColorsBox->setToolTip(QStringLiteral("A colour of its own for every session, in the list and the log"));

  SessionsList = new QTableView(this);
  SessionsList->setObjectName(QStringLiteral("SessionsList"));
  SessionsList->setModel(Model);
  SessionsList->setSelectionBehavior(QAbstractItemView::SelectRows);
  SessionsList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  SessionsList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  SessionsList->setWordWrap(false);
  SessionsList->setAlternatingRowColors(true);
  SessionsList->verticalHeader()->hide();
  // Fixed row heights and column widths: nothing is measured per row, however many there are.
  SessionsList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  SessionsList->verticalHeader()->setDefaultSectionSize(SessionsList->fontMetrics().height() + 4);
  SessionsList->horizontalHeader()->setStretchLastSection(true);
  const int digit = SessionsList->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  const int widths[TSessionsModel::scColumnCount] = {9, 22, 22, 20, 11, 11, 13, 9, 5, 34};
  for (int c = 0; c < TSessionsModel::scColumnCount; ++c) SessionsList->setColumnWidth(c, widths[c] * digit + 8);

  auto* tools = new QHBoxLayout;
  tools->setContentsMargins(2, 2, 2, 0);
  tools->addWidget(ShowAllBtn);
  ReplayBtn = new QPushButton(QStringLiteral("&Replay"), this);
  ReplayBtn->setObjectName(QStringLiteral("ReplayBtn"));
  ReplayBtn->setToolTip(QStringLiteral("Replay the selected sessions over new connections and compare the answers"));
  tools->addWidget(ReplayBtn);
  tools->addWidget(DirectionBox);
  tools->addWidget(DistinctColorsBox);
  tools->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  layout->addLayout(tools);
  layout->addWidget(SessionsList);

  FRefresh = new QTimer(this);
  FRefresh->setInterval(kRefreshMs);
  connect(FRefresh, &QTimer::timeout, this, [this] { RefreshTick(); });
  FFilterTick = new QTimer(this);
  FFilterTick->setSingleShot(true);
  FFilterTick->setInterval(kFilterMs);
  connect(FFilterTick, &QTimer::timeout, this, [this] { FilterTick(); });

  connect(ShowAllBtn, &QPushButton::clicked, this, [this] { ShowAllBtnClick(); });
  connect(ReplayBtn, &QPushButton::clicked, this, [this] { ReplayBtnClick(); });
  connect(DirectionBox, &QComboBox::currentIndexChanged, this, [this] { ApplyFilter(); });
  connect(SessionsList->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    if (!FRestoring) ApplyFilter();
  });
  connect(DistinctColorsBox, &QCheckBox::toggled, this, [this](bool On) {
    Model->SetDistinctColors(On);
    if (OnDistinctColorsChange) OnDistinctColorsChange(On);
  });
  // A Clear resets the list: the sessions that were selected and are still listed stay selected.
  connect(Model, &QAbstractItemModel::modelAboutToBeReset, this, [this] { FKeep = SelectedIds(); });
  connect(Model, &QAbstractItemModel::modelReset, this, [this] {
    FRestoring = true;
    SelectSessions(FKeep);
    FRestoring = false;
    FKeep.clear();
    ApplyFilter(true);
  });
  FFilterGeneration = Record.Generation();
}

TSessionsPanel::~TSessionsPanel() = default;

void TSessionsPanel::SetOpen(bool Value) {
  if (Value == FOpen) return;
  FOpen = Value;
  setVisible(Value);
  if (Value) {
    Model->Refresh(WallClockUs());
    FRefresh->start();
  } else {
    FRefresh->stop();
  }
  ApplyFilter();
}

void TSessionsPanel::EntriesAdded() {
  if (FApplied.Active() && !FFilterTick->isActive()) FFilterTick->start();
}

void TSessionsPanel::SessionChanged(std::uint64_t Id) { Model->SessionChanged(Id); }

void TSessionsPanel::RecordCleared() {
  // Before the view's next tick can show the emptied record unfiltered.
  if (FOpen) Model->Refresh(WallClockUs());  // resets the list, which applies the filter again
  ApplyFilter(true);
}

void TSessionsPanel::Flush() {
  if (FOpen) Model->Refresh(WallClockUs());
  FilterTick();
}

void TSessionsPanel::RefreshTick() { Model->Refresh(WallClockUs()); }

std::vector<std::uint64_t> TSessionsPanel::SelectedSessions() const {
  if (!FOpen) return {};
  std::vector<std::uint64_t> ids = SelectedIds();
  std::sort(ids.begin(), ids.end(), [this](std::uint64_t A, std::uint64_t B) { return Model->RowOf(A) < Model->RowOf(B); });
  return ids;
}

std::vector<std::uint64_t> TSessionsPanel::SelectedIds() const {
  std::vector<std::uint64_t> ids;
  for (const QModelIndex& row : SessionsList->selectionModel()->selectedRows())
    ids.push_back(Model->Info(row.row()).Id);
  return ids;
}

TEntryFilter TSessionsPanel::Filter() const {
  TEntryFilter filter;
  filter.SetSessions(SelectedIds());
  filter.Direction = static_cast<TDirectionFilter>(std::max(0, DirectionBox->currentIndex()));
  return filter;
}

void TSessionsPanel::SelectSessions(const std::vector<std::uint64_t>& Ids) {
  QItemSelection selection;
  for (const std::uint64_t id : Ids) {
    const int row = Model->RowOf(id);
    if (row >= 0) selection.select(Model->index(row, 0), Model->index(row, TSessionsModel::scColumnCount - 1));
  }
  SessionsList->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void TSessionsPanel::ReplayBtnClick() {
  std::string report;
  const std::vector<std::uint64_t> ids = SelectedSessions();
  const bool started = ids.empty() ? (report = "select the sessions to replay in the list", false)
                       : OnReplay    ? OnReplay(ids, report)
                                     : (report = "nothing can replay here", false);
  if (OnReport) OnReport(report, !started);
}

void TSessionsPanel::ShowAllBtnClick() {
  FRestoring = true;  // one filter change for both
  SessionsList->clearSelection();
  DirectionBox->setCurrentIndex(dfBoth);
  FRestoring = false;
  ApplyFilter();
}

void TSessionsPanel::ApplyFilter(bool Force) {
  const TEntryFilter wanted = FOpen ? Filter() : TEntryFilter{};
  const std::uint64_t generation = FRecord.Generation();
  if (!Force && wanted == FApplied && generation == FFilterGeneration) return;
  const bool changed = !(wanted == FApplied);
  FApplied = wanted;
  FFilterGeneration = generation;
  FFilterTick->stop();
  if (!FApplied.Active()) {
    if (Force || changed) FView.SetVisibleEntries(std::nullopt);
  } else {
    std::vector<std::uint64_t> entries;
    FFiltered = FilterEntries(FRecord, FApplied, 0, FRecord.Count(), entries);
    FView.SetVisibleEntries(std::move(entries));
  }
  if (changed && OnFilterChange) OnFilterChange(FApplied);
}

void TSessionsPanel::FilterTick() {
  FFilterTick->stop();
  if (!FApplied.Active()) return;
  // A Clear that came some other way, or a view that dropped the filter with it: start again.
  if (FRecord.Generation() != FFilterGeneration || !FView.Layout().Filtered()) return ApplyFilter(true);
  std::vector<std::uint64_t> entries;
  FFiltered = FilterEntries(FRecord, FApplied, FFiltered, FRecord.Count(), entries);
  FView.AppendVisibleEntries(entries);
}
