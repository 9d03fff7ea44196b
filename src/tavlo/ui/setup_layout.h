#pragma once

// The Setup dialog's template 131, in dialog units of the dialog font: both
// windows lay the dialog out from these, so they cannot drift apart.
namespace setup_layout {

inline constexpr int kDialogWidth = 370, kDialogHeight = 326;
inline constexpr int kDialogPoints = 10, kCaptionPoints = 11;
// Each kind's group: its top, and its rows below that.
inline constexpr int kKindTops[] = {74, 150, 226};
inline constexpr int kKindHeight = 70, kTypeRow = 12, kFileRow = 28, kRangeRow = 50;
inline constexpr int kEditHeight = 14;

}  // namespace setup_layout
