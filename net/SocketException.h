// Public. The exception of the socket components and of the socket-library binding; it carries
// only its message. The guards of the components catch the framework's base class, so this must
// stay derived from Exception.
#pragma once

#include "platform/Exception.h"

class ESocketException : public Exception {
public:
  using Exception::Exception;
};
