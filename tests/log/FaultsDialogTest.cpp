// The log window's "Faults..." dialog: opened from the menu with the faults in force, a bad line
// refused with its line number and the parser's words while the dialog stays open, a good text
// handed on once, Cancel handing on nothing.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include <memory>
#include <vector>

#include "QtTestApp.h"
#include "log/uFaults.h"
#include "log/uLog.h"

namespace {

class FaultsDialog : public ::testing::Test {
protected:
  void SetUp() override {
    W = std::make_unique<TLog>();
    W->OnFaultsChange = [this](QObject*, const TFaultSet& F) { Changes.push_back(F); };
  }
  TFaultsDialog* Open() {
    W->Faults1->trigger();
    QApplication::processEvents();
    return W->findChild<TFaultsDialog*>();
  }

  std::unique_ptr<TLog> W;
  std::vector<TFaultSet> Changes;
};

TEST_F(FaultsDialog, ShowsTheFaultsInForceAndHandsOnWhatIsAccepted) {
  TFaultSet set;
  std::string error;
  ASSERT_TRUE(set.Parse({"local:bandwidth=1000KB/s", "refuse=20%"}, error));
  W->SetFaults(set);
  TFaultsDialog* d = Open();
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->isVisible());
  EXPECT_EQ(d->Rules->toPlainText().toStdString(), "local:bandwidth=1MB/s\nrefuse=0.2\n");
  d->Rules->setPlainText(QStringLiteral("remote:latency=100ms,jitter=10ms\n\n# slow\nlocal:stall=2s\n"));
  d->OkBtn->click();
  ASSERT_EQ(Changes.size(), 1u);
  EXPECT_EQ(Changes[0].Text(), "remote:latency=100ms,jitter=10ms\nlocal:stall=2s\n");
  EXPECT_EQ(W->Faults(), Changes[0]);
}

TEST_F(FaultsDialog, ABadLineKeepsItOpenAndNamesTheLineAndThePart) {
  TFaultsDialog* d = Open();
  ASSERT_NE(d, nullptr);
  d->Rules->setPlainText(QStringLiteral("remote:latency=10ms\nlocal:bandwidth=1MB\n"));
  d->OkBtn->click();
  EXPECT_TRUE(d->isVisible());
  EXPECT_TRUE(Changes.empty());
  EXPECT_EQ(d->Problem->text().toStdString(),
            "Line 2: 'bandwidth=1MB': expected a rate (e.g. 1MB/s or 64KiB/s), got a byte count");
  d->Rules->setPlainText(QStringLiteral("refuse=2"));
  d->OkBtn->click();
  EXPECT_NE(d->Problem->text().toStdString().find("Line 1: 'refuse=2': a probability is from 0 to 1"), std::string::npos);
  // Put right, it is taken, and an empty text means no faults.
  d->Rules->setPlainText(QString());
  d->OkBtn->click();
  ASSERT_EQ(Changes.size(), 1u);
  EXPECT_TRUE(Changes[0].Empty());
}

TEST_F(FaultsDialog, CancelHandsOnNothing) {
  TFaultsDialog* d = Open();
  ASSERT_NE(d, nullptr);
  d->Rules->setPlainText(QStringLiteral("remote:reset=1000"));
  d->reject();
  EXPECT_TRUE(Changes.empty());
  EXPECT_TRUE(W->Faults().Empty());
}

}  // namespace
