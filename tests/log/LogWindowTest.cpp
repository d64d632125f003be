// The log window as its writers and its user see it: hidden until the first entry, one empty line
// between entries and none before the first, the header line, each entry in its colour, and the
// six commands of the popup menu.
#include <gtest/gtest.h>

#include <QAction>
#include <QHash>
#include <QMenu>
#include <QScrollBar>

#include <memory>
#include <string>
#include <vector>

#include "QtTestApp.h"
#include "log/uLog.h"
#include "log/uLogView.h"
#include "platform/Exception.h"
#include "platform/gui/Clipboard.h"
#include "record/DateTimeText.h"
#include "platform/gui/ErrorBox.h"

namespace {

class LogWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    FPrevious = platform::gui::SetErrorHandler([this](const std::string& m) { Errors.push_back(m); });
    W = std::make_unique<TLog>();
  }
  void TearDown() override {
    W.reset();
    platform::gui::SetErrorHandler(FPrevious);
    EXPECT_TRUE(Errors.empty()) << "unexpected error box: " << (Errors.empty() ? "" : Errors.front());
  }

  // The view's lines, as shown; none for an empty view.
  QStringList Lines() const {
    W->LogWnd->Flush();
    QStringList lines;
    for (std::uint64_t i = 0; i < W->LogWnd->LineCount(); ++i) lines << W->LogWnd->LineText(i);
    return lines;
  }

  // Writes an entry, noting the header lines it may have: the clock may tick during the call.
  void Entry(const std::string& Title, const std::string& Body) {
    const QString before = NowText();
    W->SetEntryTitle(Title);
    W->AddEntry(Body);
    const QString title = QString::fromLatin1(Title.c_str());
    FHeaders.insert(before + u' ' + title, u'#' + title);
    FHeaders.insert(NowText() + u' ' + title, u'#' + title);
  }

  // Lines() with each header line that Entry wrote shown as "#Title".
  QStringList Shown() const {
    QStringList lines = Lines();
    for (QString& line : lines) line = FHeaders.value(line, line);
    return lines;
  }

  bool LastLineInSight() const {
    W->LogWnd->Flush();
    return W->LogWnd->TopLine() + W->LogWnd->PageLines() >= W->LogWnd->LineCount();
  }

  std::unique_ptr<TLog> W;
  std::vector<std::string> Errors;

private:
  platform::gui::TErrorHandler FPrevious;
  QHash<QString, QString> FHeaders;
};

TEST_F(LogWindowTest, HiddenAtStartShownByAnEntryAndClosingOnlyHides) {
  EXPECT_TRUE(W->isHidden());
  EXPECT_EQ(W->windowTitle(), "Log");
  W->AddEntry("a");
  EXPECT_TRUE(W->isVisible());
  W->close();
  EXPECT_TRUE(W->isHidden());
  W->AddEntry("b");  // a hidden log still takes entries, and shows itself again
  EXPECT_TRUE(W->isVisible());
  EXPECT_EQ(Lines().size(), 5);
}

TEST_F(LogWindowTest, EntriesAreSeparatedByExactlyOneEmptyLineInBothModes) {
  Entry("First", "");  // text mode, empty body: the header and an empty line
  Entry("Second", "ab");
  W->Debugstring1->trigger();
  Entry("Third", "");  // hex mode, empty body: the header alone
  Entry("Fourth", "ABCDEFGHIJKLMNOPQ");
  W->Debugstring1->trigger();
  Entry("Fifth", "x\r\n");
  const QStringList expected = {
      "#First", "",   "#Second", "ab", "", "#Third", "", "#Fourth",
      "0000 41 42 43 44 45 46 47 48-49 4A 4B 4C 4D 4E 4F 50 ABCDEFGHIJKLMNOP",
      "0010 51" + QString(46, u' ') + "Q", "", "#Fifth", "x.."};
  EXPECT_EQ(Shown(), expected);
}

TEST_F(LogWindowTest, ControlBytesInATitleCannotSplitTheHeaderLine) {
  Entry("From\r\nLocal", "z");
  const QStringList lines = Lines();
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(lines[0].endsWith(" From..Local")) << lines[0].toStdString();
  EXPECT_EQ(lines[1], "z");
}

TEST_F(LogWindowTest, EachEntryIsWrittenInItsOwnColourWhichStaysForTheNext) {
  W->SetEntryColor(0x000000FF);  // red, in the low byte
  Entry("Red", "one");
  EXPECT_EQ(W->EntryColor(), 0x000000FFu);
  EXPECT_EQ(W->EntryTitle(), "Red");
  W->SetEntryColor(0x00800000);  // navy
  Entry("Navy", "two");
  W->SetEntryTitle("Still navy");
  W->AddEntry("three");

  const struct {
    int Line;
    QColor Colour;
  } expected[] = {{0, QColor(255, 0, 0)}, {1, QColor(255, 0, 0)}, {3, QColor(0, 0, 128)},
                  {4, QColor(0, 0, 128)}, {6, QColor(0, 0, 128)}, {7, QColor(0, 0, 128)}};
  W->LogWnd->Flush();
  for (const auto& e : expected) EXPECT_EQ(W->LogWnd->LineColor(static_cast<std::uint64_t>(e.Line)), e.Colour) << "line " << e.Line;
}

TEST_F(LogWindowTest, ClearEmptiesTheViewAndTheNextEntryHasNoLeadingEmptyLine) {
  Entry("One", "1");
  Entry("Two", "2");
  W->Clear1->trigger();
  EXPECT_TRUE(Lines().isEmpty());
  Entry("Three", "3");
  EXPECT_EQ(Shown(), QStringList({"#Three", "3"}));
}

TEST_F(LogWindowTest, MenuHoldsTheSixCommandsInOrderWithTheirStartingChecksThenSaveAsApart) {
  const struct {
    QAction* Item;
    const char* Name;
    const char* Caption;
    bool Checkable;
    bool Checked;
  } items[] = {
      {W->Copy1, "Copy1", "&Copy", false, false},
      {W->Clear1, "Clear1", "&Clear", false, false},
      {W->Refresh1, "Refresh1", "&Refresh", true, true},
      {W->LineMode1, "LineMode1", "&LineMode", true, false},
      {W->Debugstring1, "Debugstring1", "&Debugstring", true, false},
      {W->Wordwrap1, "Wordwrap1", "&Word wrap", true, false},
  };
  const QList<QAction*> actions = W->PopupMenu->actions();
  ASSERT_EQ(actions.size(), 11);
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(items[i].Name);
    EXPECT_EQ(actions[i], items[i].Item);
    EXPECT_EQ(actions[i]->objectName(), items[i].Name);
    EXPECT_EQ(actions[i]->text(), items[i].Caption);
    EXPECT_EQ(actions[i]->isCheckable(), items[i].Checkable);
    EXPECT_EQ(actions[i]->isChecked(), items[i].Checked);
  }
  // Saving comes after them, apart.
  EXPECT_TRUE(actions[6]->isSeparator());
  EXPECT_EQ(actions[7], W->SaveAs1);
  // The TLS settings next to it; choosing the item raises OnTlsSettings.
  EXPECT_EQ(actions[8], W->Tls1);
  EXPECT_EQ(W->Tls1->text(), QStringLiteral("&TLS..."));
  int raised = 0;
  W->OnTlsSettings = [&](QObject*) { ++raised; };
  W->Tls1->trigger();
  EXPECT_EQ(raised, 1);
  W->OnTlsSettings = nullptr;
  EXPECT_EQ(actions[7]->text(), "Save &As...");
  EXPECT_EQ(actions[7]->shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
  EXPECT_EQ(actions[9], W->Faults1);
  EXPECT_EQ(actions[9]->text(), "&Faults...");
  // Intercept last, a check item that starts unchecked.
  EXPECT_EQ(actions[10], W->Intercept1);
  EXPECT_TRUE(W->Intercept1->isCheckable());
  EXPECT_FALSE(W->Intercept1->isChecked());
  EXPECT_FALSE(W->LogWnd->WordWrap());
}

TEST_F(LogWindowTest, ChoosingACheckItemTogglesItOnceAsADirectCallDoes) {
  W->Debugstring1->trigger();
  EXPECT_TRUE(W->Debugstring1->isChecked());
  W->Debugstring1Click(nullptr);
  EXPECT_FALSE(W->Debugstring1->isChecked());
  W->Wordwrap1->trigger();
  EXPECT_TRUE(W->Wordwrap1->isChecked());
  EXPECT_TRUE(W->LogWnd->WordWrap());
  W->Wordwrap1Click(nullptr);
  EXPECT_FALSE(W->Wordwrap1->isChecked());
  EXPECT_FALSE(W->LogWnd->WordWrap());
  W->Refresh1->trigger();
  EXPECT_FALSE(W->LogWnd->Following());
  W->Refresh1Click(nullptr);
  EXPECT_TRUE(W->LogWnd->Following());
}

TEST_F(LogWindowTest, LineModeReportsEachNewStateToItsBinder) {
  W->LineMode1->trigger();  // unbound: only the check changes
  EXPECT_TRUE(W->LineMode1->isChecked());
  std::vector<bool> reported;
  W->OnLineModeChange = [&](QObject* Sender, bool On) {
    EXPECT_EQ(Sender, W.get());
    reported.push_back(On);
  };
  W->LineMode1->trigger();
  W->LineMode1Click(nullptr);
  EXPECT_EQ(reported, (std::vector<bool>{false, true}));
  EXPECT_TRUE(W->LineMode1->isChecked());
}

TEST_F(LogWindowTest, AnErrorInAMenuHandlerGoesToTheErrorBoxNotThroughQt) {
  W->OnLineModeChange = [](QObject*, bool) { throw Exception("No sessions to switch"); };
  W->LineMode1->trigger();
  EXPECT_EQ(Errors, (std::vector<std::string>{"No sessions to switch"}));
  EXPECT_TRUE(W->LineMode1->isChecked());
  Errors.clear();
}

// Enough entries to scroll, with the view following them (Refresh checked, as at start).
void FillPastOneScreen(TLog& Log) {
  for (int i = 0; i < 80; ++i) {
    Log.SetEntryTitle("Fill");
    Log.AddEntry("line " + std::to_string(i));
  }
  ASSERT_TRUE(PumpQtUntil([&] { return Log.LogWnd->verticalScrollBar()->maximum() > 0; }));
}

TEST_F(LogWindowTest, CopyPutsTheWholeTextOnTheClipboardAndLeavesTheSelectionAtTheStartUnscrolled) {
  FillPastOneScreen(*W);
  Entry("Last", "no\xA0" "break");  // a no-break space must reach the clipboard as one
  QScrollBar* v = W->LogWnd->verticalScrollBar();
  W->LogWnd->Flush();
  const int scrolled = v->value();
  ASSERT_GT(scrolled, 0);
  W->LogWnd->SetSelection({3, 2}, {5, 1});
  platform::gui::SetClipboardText(QString());
  W->Copy1->trigger();
  EXPECT_EQ(platform::gui::ClipboardText(), Lines().join(u'\n'));
  EXPECT_TRUE(platform::gui::ClipboardText().endsWith(QStringLiteral("no\u00A0break")));
  EXPECT_EQ(W->LogWnd->Caret(), TTextPos{});
  EXPECT_FALSE(W->LogWnd->HasSelection());
  EXPECT_EQ(v->value(), scrolled);
}

TEST_F(LogWindowTest, RefreshCheckedFollowsTheNewestEntryUncheckedStaysWhereTheUserLeftIt) {
  FillPastOneScreen(*W);
  QScrollBar* v = W->LogWnd->verticalScrollBar();
  EXPECT_GT(v->value(), 0);
  EXPECT_TRUE(LastLineInSight());

  W->Refresh1->trigger();
  ASSERT_FALSE(W->Refresh1->isChecked());
  v->setValue(0);  // the user scrolls to the top
  const int maximum = v->maximum();
  Entry("Below", "unseen");
  ASSERT_TRUE(PumpQtUntil([&] { return v->maximum() > maximum; }));
  EXPECT_EQ(v->value(), 0);
  EXPECT_EQ(W->LogWnd->TopLine(), 0u);
  v->setValue(v->maximum() / 2);  // parked in the middle, it stays there
  const int parked = v->value();
  Entry("After", "it");
  W->LogWnd->Flush();
  EXPECT_EQ(v->value(), parked);
  EXPECT_FALSE(LastLineInSight());

  v->setValue(0);
  W->Refresh1->trigger();  // takes effect from the next entry
  EXPECT_EQ(v->value(), 0);
  Entry("Followed", "seen");
  W->LogWnd->Flush();
  EXPECT_GT(v->value(), 0);
  EXPECT_EQ(v->value(), v->maximum());
  EXPECT_TRUE(LastLineInSight());
}

}  // namespace
