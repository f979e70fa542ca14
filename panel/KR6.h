// The KR-6 page: names and order of the expansion units, and a lamp to find one by.
#pragma once

#include <afxdlgs.h>

#include "client/QX531BaseDriverInterface.h"
#include "panel/CHyperLink.h"
#include "panel/CMyPropertyPage.h"

class KR6 : public CMyPropertyPage {
  DECLARE_DYNCREATE(KR6)

 public:
  // Longest name an edit takes: the record's field less the terminator every record carries.
  static constexpr int kMaxNameChars = static_cast<int>(UnitNameRecord::kNameBytes) - 1;

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

  void OnNameEditFocus(UINT nID);
  void OnApplyNames();
  void OnRevertNames();
  void OnIdentify();
  void OnMoveDown();
  void OnMoveUp();
  LRESULT OnKickIdle(WPARAM wParam, LPARAM lParam);
  void OnUpdateApplyNames(CCmdUI* pCmdUI);
  void OnUpdateIdentify(CCmdUI* pCmdUI);
  void OnUpdateMoveDown(CCmdUI* pCmdUI);
  void OnUpdateMoveUp(CCmdUI* pCmdUI);

  DECLARE_MESSAGE_MAP()

 private:
  // The index of the remembered edit; -1 when none.
  int FocusIndex() const;
  // Swaps the units of records i and j and polls at once, so the swapped names show.
  void SwapUnits(int i, int j);
};
