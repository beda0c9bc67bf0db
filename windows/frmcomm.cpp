#include "windows/frmcomm.h"

void frmComm::showModal(frmMain *) { }
