// The main window: its controls, the listening server's settings, Listen/Cancel, LogShow and the
// status bar.
#include "app/uMain.h"
#include "app/uTlsDialog.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QFrame>
#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>

#include <algorithm>
#include <cmath>

#include "log/uLog.h"
#include "platform/gui/ErrorBox.h"

TMain* Main = nullptr;
TWSocketServer* WSocketServer = nullptr;

namespace {

const QString kProductName = QStringLiteral("Vantrel");

// The engine writes to the log window that exists at the time of each entry: the main block makes
// the log after the main window, and destroys it after.
class TLogWindowSink final : public TEntrySink {
public:
  void SetEntryColor(TColor Value) override {
    if (Log != nullptr) Log->SetEntryColor(Value);
  }
  void SetEntryTitle(const std::string& Value) override {
    if (Log != nullptr) Log->SetEntryTitle(Value);
  }
  void AddEntry(const std::string& Body) override {
    if (Log != nullptr) Log->AddEntry(Body);
  }
  void AddEntry(const std::string& Body, const TEntrySource& Source) override {
    if (Log != nullptr) Log->AddEntry(Body, Source);
  }
  void SessionChanged(const TSessionInfo& Info) override {
    if (Log != nullptr) Log->SessionChanged(Info);
  }
};

// The window is laid out in pixels for a small dialog font (about 5 pixels a character,
// 13 a line). A larger desktop font scales the whole layout, so that nothing is clipped.
double LayoutScale(const QFont& Font) {
  QFontMetricsF m(Font);
  double byWidth = m.horizontalAdvance(QStringLiteral("Connections")) / 55.0;
  double byHeight = m.height() / 13.0;
  return std::max({1.0, byWidth, byHeight});
}

// The "Local" and "Remote" headings: bold, navy, in a monospace face of fixed metrics, so that
// they line up.
void StyleHeading(QLabel* Label, double Scale) {
  QFont heading(QStringLiteral("Liberation Mono"));
  heading.setStyleHint(QFont::Monospace);
  heading.setBold(true);
  heading.setPixelSize(static_cast<int>(std::lround(16 * Scale)));
  Label->setFont(heading);
  QPalette p = Label->palette();
  p.setColor(QPalette::WindowText, QColor(0, 0, 128));
  Label->setPalette(p);
}

// The status bar's four panels: "Connections", the count, "From" and the last client's address.
void AddStatusPanels(QStatusBar* Bar, double Scale, QLabel* (&Panels)[4]) {
  Bar->setSizeGripEnabled(false);
  const int widths[4] = {65, 25, 35, 50};
  const char* texts[4] = {"Connections", "0", "From", ""};
  for (int i = 0; i < 4; ++i) {
    QLabel* panel = new QLabel(QString::fromLatin1(texts[i]), Bar);
    panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    panel->setAlignment(Qt::AlignCenter);
    panel->setFixedWidth(static_cast<int>(std::lround(widths[i] * Scale)));
    if (i == 1 || i == 3) panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Bar->addWidget(panel);
    Panels[i] = panel;
  }
}

}  // namespace

void NameApplication() { QCoreApplication::setApplicationName(kProductName); }

TMain::TMain(QWidget* Parent) : QWidget(Parent, Qt::Window), TComponent(nullptr) {
  setObjectName(QStringLiteral("Main"));
  setWindowTitle(kProductName);
  // Fixed single border: system menu and minimise box, no maximise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  CreateControls();
  // One menu serves both windows: the log's popup menu is also this window's context menu.
  setContextMenuPolicy(Qt::CustomContextMenu);
  connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& At) {
    if (Log != nullptr) Log->PopupMenu->popup(mapToGlobal(At));
  });
  FormCreate(this);
}

TMain::~TMain() {
  FActs.reset();  // their connections close; they write to the log through FLogSink
  // The engine, its sessions and the server go while the window's controls still exist: its
  // events update them.
  DestroyComponents();
  FRelay = nullptr;
  WSocketServer = nullptr;
  if (Main == this) Main = nullptr;
}

void TMain::CreateControls() {
  QFont font = QGuiApplication::font();  // the desktop's sans font, at the size the layout is drawn for
  font.setPointSize(8);
  setFont(font);
  const double k = LayoutScale(font);
  auto place = [k](QWidget* w, int Left, int Top, int Width, int Height) {
    w->setGeometry(static_cast<int>(std::lround(Left * k)), static_cast<int>(std::lround(Top * k)),
                   static_cast<int>(std::lround(Width * k)), static_cast<int>(std::lround(Height * k)));
  };
  auto named = [](auto* w, const char* Name) {
    w->setObjectName(QString::fromLatin1(Name));
    return w;
  };

  RemoteAddr = named(new QLineEdit(QStringLiteral("localhost"), this), "RemoteAddr");
  RemotePort = named(new QLineEdit(QStringLiteral("8080"), this), "RemotePort");
  LocalPoort = named(new QLineEdit(QStringLiteral("8080"), this), "LocalPoort");
  ListenBtn = named(new QPushButton(QStringLiteral("Listen"), this), "ListenBtn");
  StatusBar = named(new QStatusBar(this), "StatusBar");
  Bevel1 = named(new QFrame(this), "Bevel1");
  Label1 = named(new QLabel(QStringLiteral("Port"), this), "Label1");
  Label2 = named(new QLabel(QStringLiteral("Address"), this), "Label2");
  Label3 = named(new QLabel(QStringLiteral("Port"), this), "Label3");
  Button1 = named(new QPushButton(QStringLiteral("LogShow"), this), "Button1");
  Label4 = named(new QLabel(QStringLiteral("Remote"), this), "Label4");
  Label5 = named(new QLabel(QStringLiteral("Local"), this), "Label5");

  // The bevel shows only its right edge: a sunken vertical line between the two halves.
  Bevel1->setFrameShape(QFrame::VLine);
  Bevel1->setFrameShadow(QFrame::Sunken);
  place(Bevel1, 8 + 97 - 2, 24, 2, 77);
  place(Label1, 16, 28, 19, 13);
  place(Label2, 120, 28, 38, 13);
  place(Label3, 120, 68, 19, 13);
  for (QLabel* l : {Label4, Label5}) StyleHeading(l, k);
  place(Label4, 148, 4, 60, 18);
  place(Label5, 24, 4, 50, 18);
  place(RemoteAddr, 120, 44, 121, 21);
  place(RemotePort, 120, 84, 57, 21);
  place(LocalPoort, 16, 44, 75, 21);
  place(ListenBtn, 16, 68, 75, 21);
  place(Button1, 184, 84, 57, 21);
  for (QLabel* l : {Label1, Label2, Label3}) l->setBuddy(nullptr);

  AddStatusPanels(StatusBar, k, FPanels);
  place(StatusBar, 0, 110, 243, 19);

  // Tab order: ListenBtn, LocalPoort, RemoteAddr, RemotePort, Button1.
  setTabOrder(ListenBtn, LocalPoort);
  setTabOrder(LocalPoort, RemoteAddr);
  setTabOrder(RemoteAddr, RemotePort);
  setTabOrder(RemotePort, Button1);
  for (QWidget* w : std::initializer_list<QWidget*>{Bevel1, Label1, Label2, Label3, Label4, Label5, StatusBar})
    w->setFocusPolicy(Qt::NoFocus);

  connect(ListenBtn, &QPushButton::clicked, this, platform::gui::Guarded([this] { ListenBtnClick(ListenBtn); }));
  connect(Button1, &QPushButton::clicked, this, platform::gui::Guarded([this] { Button1Click(Button1); }));

  setFixedSize(static_cast<int>(std::lround(243 * k)), static_cast<int>(std::lround(129 * k)));
  move(389, 186);
}

void TMain::FormCreate(QObject*) {
  FLogSink = std::make_unique<TLogWindowSink>();
  FRelay = new TRelay(this, FLogSink.get());
  FRelay->SetName("Relay");
  WSocketServer = FRelay->WSocketServer();
  FRelay->OnSessionClosed = [this](TComponent* S, std::uint16_t E) { WSocketServerSessionClosed(S, E); };
  FRelay->OnClientConnect = [this](TComponent* S, TWSocketClient* C, std::uint16_t E) {
    WSocketServerClientConnect(S, C, E);
  };
  FRelay->OnClientDisconnect = [this](TComponent* S, TWSocketClient* C, std::uint16_t E) {
    WSocketServerClientDisconnect(S, C, E);
  };
  // The chunks Intercept holds and lets go, for the log's panel.
  FRelay->OnChunkHeld = [](const TInterceptedChunk& Chunk) {
    if (Log != nullptr) Log->ChunkHeld(Chunk);
  };
  FRelay->OnChunkLeft = [](std::uint64_t Number, TInterceptAction How) {
    if (Log != nullptr) Log->ChunkLeft(Number, How);
  };
  for (QLineEdit* e : {RemoteAddr, RemotePort}) connect(e, &QLineEdit::textChanged, this, [this] { TakeSettings(); });
}

// The engine takes the fields' texts as they are at each use: the remote address and port when a
// client connects, the local port at Listen.
void TMain::TakeSettings() {
  TRelaySettings settings;
  settings.LocalPort = LocalPoort->text().toStdString();
  settings.RemoteAddr = RemoteAddr->text().toStdString();
  settings.RemotePort = RemotePort->text().toStdString();
  settings.LineMode = Log != nullptr && Log->LineMode1->isChecked();
  settings.Tls = FTlsSettings;
  FRelay->SetSettings(settings);
}

void TMain::EditTlsSettings() {
  TTlsDialog dialog(FTlsSettings, this);
  if (dialog.exec() == QDialog::Accepted) FTlsSettings = dialog.Settings();
}

void TMain::ListenBtnClick(QObject*) {
  if (FListenBtnTag == 0) {
    TakeSettings();
    FRelay->Listen();  // a failure leaves here, before the window changes
    LocalPoort->setEnabled(false);
    RemotePort->setEnabled(false);
    RemoteAddr->setEnabled(false);
    ListenBtn->setText(QStringLiteral("Cancel"));
    FListenBtnTag = 1;
    return;
  }
  FRelay->Cancel();  // its OnSessionClosed returns the window to Idle
}

void TMain::WSocketServerSessionClosed(TComponent*, std::uint16_t) {
  LocalPoort->setEnabled(true);
  RemotePort->setEnabled(true);
  RemoteAddr->setEnabled(true);
  ListenBtn->setText(QStringLiteral("Listen"));
  FListenBtnTag = 0;
}

// After the engine has set the new session up, before it picks the session's colour.
void TMain::WSocketServerClientConnect(TComponent*, TWSocketClient* Client, std::uint16_t) {
  FPanels[1]->setText(QString::number(WSocketServer->ClientCount()));
  FPanels[3]->setText(QString::fromStdString(Client->PeerAddr()));
}

void TMain::WSocketServerClientDisconnect(TComponent*, TWSocketClient*, std::uint16_t) {
  const std::int32_t count = WSocketServer->ClientCount();  // the departing client still counts
  FPanels[1]->setText(QString::number(count - 1));
  if (count < 2)
    FPanels[3]->setText(QString());
  else
    FPanels[3]->setText(QString::fromStdString(WSocketServer->Client(count - 2)->PeerAddr()));
}

void TMain::Button1Click(QObject*) {
  if (Log == nullptr) return;
  Log->setVisible(Log->isHidden());
}

void TMain::BgException(TComponent*, Exception&, bool& CanClose) { CanClose = true; }

void TMain::SwitchLineMode(bool LineMode) {
  if (FRelay != nullptr) FRelay->SetLineMode(LineMode);
}

bool TMain::SendInto(std::uint64_t Id, TEntryDirection Way, const std::string& Bytes, std::string& Error) {
  if (FRelay == nullptr) {
    Error = "session " + std::to_string(Id) + " has ended";
    return false;
  }
  return FRelay->Send(Id, Way == edFromRemote ? stLocal : stRemote, Bytes, Error);
}

void BindLog(TLog& Log) {
  Log.OnLineModeChange = [](QObject*, bool LineMode) {
    if (Main != nullptr) Main->SwitchLineMode(LineMode);
  };
  Log.OnTlsSettings = [](QObject*) {
    if (Main != nullptr) Main->EditTlsSettings();
  };
  Log.OnFaultsChange = [](QObject*, const TFaultSet& Faults) {
    if (Main != nullptr) Main->Relay()->SetFaults(Faults);
  };
  Log.OnInterceptChange = [](QObject*, const TInterceptSettings& Settings) {
    if (Main != nullptr) Main->Relay()->SetIntercept(Settings);
  };
  Log.OnInterceptDecide = [](std::uint64_t Number, TInterceptAction How, const std::string& Edited, std::string& Error) {
    if (Main == nullptr) {
      Error = "the main window has closed";
      return false;
    }
    return Main->Relay()->InterceptDecide(Number, How, Edited, Error);
  };
  Log.OnInterceptForwardAll = [] {
    if (Main != nullptr) Main->Relay()->InterceptForwardAll();
  };
  Log.OnSend = [](std::uint64_t Id, TEntryDirection Way, const std::string& Bytes, std::string& Error) {
    if (Main == nullptr) {
      Error = "the main window has closed";
      return false;
    }
    return Main->SendInto(Id, Way, Bytes, Error);
  };
  Log.OnResend = [](const std::vector<std::uint64_t>& Entries, std::string& Report) {
    if (Main == nullptr) {
      Report = "the main window has closed";
      return false;
    }
    return Main->Resend(Entries, Report);
  };
  Log.OnReplay = [](const std::vector<std::uint64_t>& Ids, std::string& Report) {
    if (Main == nullptr) {
      Report = "the main window has closed";
      return false;
    }
    return Main->ReplaySessions(Ids, Report);
  };
}

void TMain::closeEvent(QCloseEvent* Event) {
  // Closing the main window is the only way to end the program, whatever else is open.
  Event->accept();
  if (QCoreApplication* app = QCoreApplication::instance()) app->quit();
}
