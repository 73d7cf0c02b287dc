#pragma once

#include "line/module1.h"

class CommControl;

inline constexpr const char *LineSettings = "9600,n,8,1";

// (Re)opens the port on PortNumber: close, CommPort, Settings, open, then RTS up.
// withLeadingClose is false only for the very first open at start-up.
// A port that cannot be opened stays closed; nothing is reported.
void OpenPort(const Module1 &state, CommControl &port, bool withLeadingClose = true);

// RTS down, then the port closed.
void ClosePort(CommControl &port);
