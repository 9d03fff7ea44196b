#pragma once

#include <string>
#include <vector>

#include "quillport/worker/row_ui.h"

// How a row's display controls are drawn, without a toolkit: every front end
// (Qt, Win32) paints exactly these rectangles and texts, so the bands, the
// fill width and the percentage are decided once.

struct SGradientBand {
  int nLeft = 0, nRight = 0;  // pixels, right exclusive
  RowColor clr = 0;
};

struct SProgressDrawing {
  // Filled first, over the whole client area: the unfilled colour.
  RowColor bk = COLOR_BASE;
  // Then the bands, left to right; each spans the client height plus one.
  std::vector<SGradientBand> bands;
  // Then, when not empty, this text centred on one line in percentText.
  std::string strPercent;
  RowColor percentText = COLOR_BLUE;
};

// A progress bar of nWidth pixels over the range nLower..nUpper: the
// gradient from..to in one band per colour step (the largest channel
// difference), spread over the whole width, cut at the first band boundary
// past the position's fill width. A position outside the range draws the
// background only and no text. Equal colours fill the bar with the start
// colour.
SProgressDrawing DrawProgress(int nPos, RowColor from, RowColor to, RowColor bk,
                              RowColor percentText, int nWidth, bool bShowPercent, int nLower = 0,
                              int nUpper = 100);

// The row dot's number text, drawn from this many pixels below the top of
// the disc's box, centred horizontally.
inline constexpr int kDotNumberDrop = 3;

// "passed / failed" counts of a row since the window opened, as the row shows
// them: empty until the row has ended a phone.
std::string RowCountsText(int nPassed, int nFailed);

// The state box's text as drawn: the state (already translated) followed by
// the row's counts, once it has any.
std::string StateWithCounts(std::string strShownState, int nPassed, int nFailed);
