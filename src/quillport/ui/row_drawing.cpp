#include "quillport/ui/row_drawing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

int Channel(RowColor clr, int nShift) {
  return static_cast<int>(clr >> nShift & 0xFF);
}

// One channel of band i: rounded to the nearest (ties to even), low 8 bits.
uint8_t BandChannel(int i, float fStep, int nStart) {
  const float fValue = static_cast<float>(i) * fStep + static_cast<float>(nStart);
  return static_cast<uint8_t>(static_cast<int>(std::nearbyint(fValue)) & 0xFF);
}

}  // namespace

SProgressDrawing DrawProgress(int nPos, RowColor from, RowColor to, RowColor bk,
                              RowColor percentText, int nWidth, bool bShowPercent, int nLower,
                              int nUpper) {
  SProgressDrawing out;
  out.bk = bk;
  out.percentText = percentText;
  if (nPos < nLower || nPos > nUpper) return out;
  // The fraction is of the upper end, not of the span: the range starts at 0.
  const double dFraction = nUpper != 0 ? static_cast<double>(nPos) / nUpper : 1.0;
  const int nFill = static_cast<int>(static_cast<float>(dFraction * nWidth));
  if (bShowPercent) {
    char szPercent[32];
    std::snprintf(szPercent, sizeof szPercent, "%.0f%%", dFraction * 100.0);
    out.strPercent = szPercent;
  }
  const int d[3] = {Channel(to, 16) - Channel(from, 16), Channel(to, 8) - Channel(from, 8),
                    Channel(to, 0) - Channel(from, 0)};
  const int nBands = std::max({std::abs(d[0]), std::abs(d[1]), std::abs(d[2])});
  if (nBands == 0) {  // one colour: no bands to tell apart
    out.bands.push_back({0, nWidth, from});
    return out;
  }
  const float fBandWidth = static_cast<float>(nWidth) / static_cast<float>(nBands);
  float fStep[3];
  for (int c = 0; c < 3; ++c) fStep[c] = static_cast<float>(d[c]) / static_cast<float>(nBands);
  for (int i = 0; i < nBands; ++i) {
    const int nLeft = static_cast<int>(static_cast<float>(i) * fBandWidth);
    const int nRight = static_cast<int>(static_cast<float>(i + 1) * fBandWidth);
    out.bands.push_back({nLeft, nRight,
                         Rgb(BandChannel(i, fStep[0], Channel(from, 16)),
                             BandChannel(i, fStep[1], Channel(from, 8)),
                             BandChannel(i, fStep[2], Channel(from, 0)))});
    if (nRight > nFill) break;  // the rest keeps the background
  }
  return out;
}

std::string RowCountsText(int nPassed, int nFailed) {
  if (nPassed == 0 && nFailed == 0) return {};
  return std::to_string(nPassed) + " / " + std::to_string(nFailed);
}

std::string StateWithCounts(std::string strShownState, int nPassed, int nFailed) {
  if (const std::string strCounts = RowCountsText(nPassed, nFailed); !strCounts.empty()) {
    strShownState += "  " + strCounts;
  }
  return strShownState;
}
