// The ids of the controls probe's resources and controls.
#pragma once

namespace probe {

constexpr unsigned short kSheetCaption = 1;
constexpr unsigned short kPage = 100;
constexpr unsigned short kFirstEdit = 1000;   // a CEnterEdit
constexpr unsigned short kPlainEdit = 1001;   // a plain edit between the two
constexpr unsigned short kSecondEdit = 1002;  // another CEnterEdit
// Links: left, centred and right-aligned text, then the same centred vertically.
constexpr unsigned short kFirstLink = 1100;
constexpr int kLinks = 6;
constexpr char kLinkAddress[] = "http://www.example.com/kr6";

}  // namespace probe
