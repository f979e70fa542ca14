// The KR-6 page: names and order of the expansion units, and a lamp to find one by.
#pragma once

#include <afxdlgs.h>

#include "client/QX531BaseDriverInterface.h"
#include "panel/CHyperLink.h"
#include "panel/CMyPropertyPage.h"

class KR6 : public CMyPropertyPage {
 public:
  KR6();

  void SetDevicePresent(bool present) override;
  // The unit records the poll brought: record i is shown in name edit i.
  void ShowUnitRecords(const UnitNameRecord* records);

  CHyperLink m_link;
  CString m_names[kMaxExpansionUnits];
  bool m_bNamesChanged = false;
  bool m_bUnitSelected = false;
  bool m_bCanMoveDown = false;
  bool m_bCanMoveUp = false;
  bool m_bInitialized = false;
  bool m_bDevicePresent = false;
  CWnd* m_pFocusEdit = nullptr;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
};
