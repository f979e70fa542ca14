// The ids of the dialog probe's resources and the messages the tests post to its windows.
#pragma once

namespace dlgprobe {

constexpr unsigned short kAppTitle = 0xE000;  // the class library's AFX_IDS_APP_TITLE
constexpr unsigned short kSheetCaption = 1;
constexpr unsigned short kTwinCaption = 2;
constexpr unsigned short kFirstPage = 100;
constexpr unsigned short kSecondPage = 101;
constexpr unsigned short kThirdPage = 102;
constexpr unsigned short kDialog = 200;

// Controls of the first page and of the dialog.
constexpr unsigned short kText = 1000;
constexpr unsigned short kChoice = 1001;
constexpr unsigned short kCheck = 1002;
constexpr unsigned short kAct = 1003;
constexpr unsigned short kAsk = 1004;
constexpr unsigned short kShort = 1005;
constexpr unsigned short kSecondEdit = 1100;

// Posted to the sheet (WM_APP + n).
constexpr unsigned kSetActivePage = 1;   // wParam: the page
constexpr unsigned kCancelToClose = 2;
constexpr unsigned kLoadFirst = 3;       // the first page's members set, then loaded into it
constexpr unsigned kSaveActive = 4;      // the active page saved into its members
constexpr unsigned kReport = 5;          // the counts of kicks and timers since the last report
constexpr unsigned kAllowAct = 6;        // wParam: whether the first page's Act is enabled at idle
constexpr unsigned kFocusAct = 7;
constexpr unsigned kLongShort = 8;       // text longer than the first page allows into kShort
constexpr unsigned kModified = 9;        // the first page marked changed
constexpr unsigned kShow = 10;           // a hidden sheet lets itself be shown

// The first page's members as kLoadFirst sets them.
constexpr char kLoadedText[] = "Loaded";
constexpr int kLoadedChoice = 2;
constexpr int kLoadedCheck = 1;
// The most kShort takes.
constexpr int kShortMax = 8;

}  // namespace dlgprobe
