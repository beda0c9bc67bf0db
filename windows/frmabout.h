// Placeholder, being written.
#pragma once

class frmMain;

class frmAbout
{
public:
    static void showModal(frmMain *main);
};
