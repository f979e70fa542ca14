// The panel's application object: one resident panel at a time. A second start brings the
// running one forward and ends; the first runs the sheet until it is closed for good.
#pragma once

#include <afxwin.h>

class CPanelExeApp : public CWinApp {
 public:
  CPanelExeApp();

  BOOL InitInstance() override;

  DECLARE_MESSAGE_MAP()
};

extern CPanelExeApp theApp;
