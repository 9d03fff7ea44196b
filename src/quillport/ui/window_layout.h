#pragma once

// The download window's template 102, in dialog units of the dialog font:
// both windows lay it out from these, so they cannot drift apart.
namespace window_layout {

inline constexpr int kDialogWidth = 703, kDialogHeight = 284;
inline constexpr int kFirstRowTop = 79, kRowPitch = 20, kRowHeight = 14;
struct SColumn {
  int nLeft, nWidth;
};
inline constexpr SColumn kCheckColumn{7, 12}, kPortColumn{22, 46}, kProgressColumn{71, 224},
    kStateColumn{298, 96}, kStatusColumn{397, 195}, kTimerColumn{595, 40}, kDotColumn{638, 18},
    kRestartColumn{659, 36};
inline constexpr int kBannerTop = 237, kBannerWidth = 656, kBannerHeight = 23;
inline constexpr int kTipTop = 261, kTipWidth = 452, kTipHeight = 18;
// Font sizes in points: the dialog, the row boxes, the banner and the tip.
inline constexpr int kDialogPoints = 9, kRowPoints = 12, kBannerPoints = 25, kTipPoints = 20;

}  // namespace window_layout
