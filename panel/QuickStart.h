// The Quick Start page: which channel pairs stream continuously, two bits of a channel mask per
// check box, for the inputs and for the outputs.
#pragma once

#include <afxdlgs.h>

#include <cstdint>

#include "panel/CMyPropertyPage.h"

class QuickStart : public CMyPropertyPage {
  DECLARE_DYNCREATE(QuickStart)

 public:
  static constexpr int kPairs = 9;

  QuickStart();

  void SetDevicePresent(bool present) override;

  bool m_bInitialized = false;
  bool m_bDevicePresent = false;
  uint32_t m_inputPairs = 0;
  uint32_t m_outputPairs = 0;
  // Check states of the input pairs, then of the output pairs.
  int m_pairChecks[2 * kPairs] = {};

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;

  void OnChannelPairCheck(UINT nID);

  DECLARE_MESSAGE_MAP()
};
