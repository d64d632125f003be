// Helpers for the program's tests: the two windows as the main block makes them, errors caught
// instead of shown in a box, the log's entries read back, and loopback peers at chosen addresses.
#pragma once

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/uMain.h"
#include "log/uLog.h"
#include "net/SocketTestSupport.h"
#include "net/WinsockBinding.h"
#include "platform/gui/ErrorBox.h"

namespace apptest {

using namespace testsupport;

struct TEntry {
  std::string Title;
  TColor Color;
  std::size_t BodyLength;  // bytes
};

// The two windows, made and torn down as the program does.
class AppFixture : public ::testing::Test {
protected:
  void SetUp() override {
    platform::gui::SetErrorHandler([this](const std::string& m) { Errors.push_back(m); });
    Main = new TMain;
    Log = new TLog;
    BindLog(*Log);
  }
  void TearDown() override {
    if (Main->ListenBtnTag() != 0) Main->ListenBtn->click();
    PumpUntil([] { return WSocketServer->ClientCount() == 0 && Main->DrainingCount() == 0; });
    platform::SetApplicationTerminated(true);  // as the main block does before it destroys
    delete Main;
    delete Log;
    platform::SetApplicationTerminated(false);
    platform::gui::SetErrorHandler(nullptr);
    EXPECT_EQ(winsock::WinsockUsers, 0) << "a socket component outlived the windows";
  }

  // Listens on a free port and returns it. A port found free can still be taken by another
  // process before Listen binds it; Listen then fails with "Address already in use", and another
  // port is tried.
  std::uint16_t StartListening() {
    std::uint16_t port = 0;
    for (int attempt = 0; attempt < 5 && Main->ListenBtnTag() != 1; ++attempt) {
      const std::size_t errorsBefore = Errors.size();
      port = UnusedPort();
      Main->LocalPoort->setText(QString::number(port));
      Main->ListenBtn->click();
      const bool taken = Errors.size() > errorsBefore && Errors.back().find("10048") != std::string::npos;
      if (!taken) break;
      Errors.resize(errorsBefore);
    }
    EXPECT_EQ(Main->ListenBtnTag(), 1) << (Errors.empty() ? "" : Errors.back());
    return port;
  }

  // The log's entries, from the traffic record.
  static std::vector<TEntry> Entries() {
    std::vector<TEntry> out;
    const TTrafficRecord& record = Log->Record();
    TRecordEntry e;
    for (std::uint64_t i = 0; record.Entry(i, e); ++i)
      out.push_back({record.TitleText(e.Title), e.Color, static_cast<std::size_t>(e.BodyLength)});
    return out;
  }
  // The body of entry Index, as recorded.
  static std::string BodyOf(std::uint64_t Index) {
    std::string body;
    Log->Record().ReadBody(Index, 0, UINT64_MAX, body);
    return body;
  }
  static std::vector<std::string> Titles() {
    std::vector<std::string> t;
    for (auto& e : Entries()) t.push_back(e.Title);
    return t;
  }
  static int Count(const std::string& Title) {
    int n = 0;
    for (auto& e : Entries()) n += e.Title == Title;
    return n;
  }

  std::vector<std::string> Errors;
};

inline int ConnectFrom(int Host, std::uint16_t Port) { return RawConnect(Port, Host); }

}  // namespace apptest
