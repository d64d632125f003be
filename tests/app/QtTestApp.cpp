// The window tests share the log tests' QApplication set-up and bounded Qt pump.
#include "log/QtTestApp.cpp"
