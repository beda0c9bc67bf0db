// Every way the program can be told to end leads to the main window's shut-down.
#pragma once

class frmMain;

// SIGTERM, SIGINT, SIGHUP and the end of the desktop session close the main window, so its
// shut-down stores the position and releases the port; the window's own close box and the
// window manager already do. Once shut-down has run, the program's event loops end.
void installShutdownTriggers(frmMain *window);
