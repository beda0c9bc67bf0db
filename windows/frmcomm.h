// Placeholder, being written.
#pragma once

class frmMain;

class frmComm
{
public:
    static void showModal(frmMain *main);
};
