// The base of every page of the panel's sheet: whether the page is the current one, whether its
// unit is there, and the way to the sheet, which is the page's parent window and the driver
// client at once.
#pragma once

#include <afxdlgs.h>

#include <cstdint>

class CMyPropertySheet;

class CMyPropertyPage : public CPropertyPage {
  DECLARE_DYNAMIC(CMyPropertyPage)

 public:
  explicit CMyPropertyPage(UINT nIDTemplate);

  BOOL OnSetActive() override;
  BOOL OnKillActive() override;
  // Whether the page's unit is present; a page not yet created applies it when it is.
  virtual void SetDevicePresent(bool present) = 0;

  bool m_bActive = false;

 protected:
  CMyPropertySheet& Sheet() const;
  // A changed setting goes to the unit through the sheet; the page shows it once the poll brings
  // it back.
  int32_t SendDeviceParameter(uint32_t parameterId, uint32_t value) const;
  // Polls at once, so the values a request changed come back without waiting for the timer.
  void PollDevice() const;
};
