// A program with one property page holding the panel's custom controls: two digits-only edits
// around a plain one, and six links of every alignment. It writes each edit-complete message it
// takes, and each click it sees reach a link's parent, as lines of debug output.
#include <afxdlgs.h>

#include <cstdio>

#include "panel/CEnterEdit.h"
#include "panel/CHyperLink.h"
#include "tests/panel/images/ControlsProbe.h"

namespace {

class ControlsPage : public CPropertyPage {
 public:
  ControlsPage() : CPropertyPage(probe::kPage) {}

  CEnterEdit m_first;
  CEnterEdit m_second;
  CHyperLink m_links[probe::kLinks];

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, probe::kFirstEdit, m_first);
    DDX_Control(pDX, probe::kSecondEdit, m_second);
    for (int i = 0; i < probe::kLinks; ++i) DDX_Control(pDX, probe::kFirstLink + i, m_links[i]);
  }
  BOOL OnInitDialog() override {
    CPropertyPage::OnInitDialog();
    m_links[0].SetLinkAddress(probe::kLinkAddress);
    return TRUE;
  }
  LRESULT OnEditComplete(WPARAM wParam, LPARAM lParam) {
    const CWnd* edit = reinterpret_cast<const CWnd*>(lParam);
    char line[96];
    std::snprintf(line, sizeof line, "edit complete %u%s\n", static_cast<unsigned>(wParam),
                  edit == &m_first || edit == &m_second ? " from its object" : "");
    ::OutputDebugStringA(line);
    return 0;
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ControlsPage, CPropertyPage)
ON_REGISTERED_MESSAGE(UWM_EDIT_COMPLETE, OnEditComplete)
END_MESSAGE_MAP()

class ControlsProbeApp : public CWinApp {
 public:
  BOOL InitInstance() override {
    CPropertySheet sheet(probe::kSheetCaption);
    ControlsPage page;
    sheet.AddPage(&page);
    m_pMainWnd = &sheet;
    sheet.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
  }
};

ControlsProbeApp theApp;

}  // namespace
