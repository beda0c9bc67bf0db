// Every way the program can be told to end leads to the main window's shut-down.
#pragma once

class frmMain;

// SIGTERM, SIGINT, SIGHUP and the end of the desktop session close the main window, so its
// shut-down stores the position and releases the port; the window's own close box and the
// window manager already do. Once shut-down has run, the program's event loops end. A process
// that exits without it (the X server went away) runs it on the way out. A session that asks to
// save before a logout gets the position stored and the program left running, since the user
// may still cancel the logout.
void installShutdownTriggers(frmMain *window);
