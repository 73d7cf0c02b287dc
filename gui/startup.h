#pragma once

#include "frm_main.h"

#include <memory>

class CommControl;
struct Module1;
class QWidget;

// The start-up procedure: creates the main window (its load shows the splash window
// and opens COM1), shows it, then lets the operator confirm the port in the port
// selection dialog. Returns once that dialog has closed; the caller then runs the
// event loop until the main window is closed.
std::unique_ptr<frmMain> Main(Module1 &state, CommControl &port, SplashRunner splash = {});

// Creates the port selection dialog and shows it modally over owner.
void showPortDialog(Module1 &state, CommControl &port, QWidget *owner);
