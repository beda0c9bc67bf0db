#include "windows/frmabout.h"

void frmAbout::showModal(frmMain *) { }
