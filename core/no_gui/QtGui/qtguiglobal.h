// On the core's include path only, ahead of Qt's: every Qt Gui and Qt Widgets header
// includes this one, so a core file that reaches either stops here.
#error "The core library builds without a display: no Qt Gui or Qt Widgets header here."
