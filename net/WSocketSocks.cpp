// TCustomSocksWSocket: the SOCKS settings. With SocksServer empty, every operation is the level
// below's.
#include <algorithm>
#include <cctype>

#include "net/WSocket.h"

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) {
  ResetSocksDefaults();
}

void TCustomSocksWSocket::ResetDefaults() {
  TCustomWSocket::ResetDefaults();
  ResetSocksDefaults();
}

void TCustomSocksWSocket::ResetSocksDefaults() {
  FSocksLevel = "5";
  FSocksServer.clear();
  FSocksPort.clear();
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
  std::string upper = Value;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  FSocksLevel = upper;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) { FSocksServer = TrimBlanks(Value); }

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) { FSocksPort = TrimBlanks(Value); }
