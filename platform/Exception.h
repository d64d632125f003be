// Public. The framework's base exception: every exception that the components raise on purpose
// derives from it and carries a message text. Guards in the socket components catch this class.
#pragma once

#include <exception>
#include <string>
#include <utility>

class Exception : public std::exception {
public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}

  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string message) { FMessage = std::move(message); }
  const char* what() const noexcept override { return FMessage.c_str(); }

private:
  std::string FMessage;
};
