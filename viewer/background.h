// Backgrounds of the picture view: fills an area of the 24-bit back buffer in
// one of the background styles, then draws the wallpaper over it.
#pragma once

#include <cstdint>

#include "platform/tbitmap.h"
#include "view/viewtypes.h"  // TViewRect, clBtnFace

namespace rv {

enum TPxBackgroundStyle : int {
  pxbsSolid = 0,
  pxbsHorizontal = 1,
  pxbsVertical = 2,
  pxbsFDiagonal = 3,
  pxbsBDiagonal = 4,
  pxbsCross = 5,
  pxbsDiagCross = 6,
  pxbsChessboard = 7,
  pxbsDiagonals = 8,
  pxbsCropped = 9,
  pxbsCropShadow = 10,
  pxbsGradient = 11,
};

enum TPxWallPaperStyle : int { pxwoNormal = 0, pxwoStretch = 1, pxwoTile = 2 };

// Brush styles of the chessboard squares (the platform's brush styles).
enum TBrushStyle : int {
  bsSolid = 0,
  bsClear,
  bsHorizontal,
  bsVertical,
  bsFDiagonal,
  bsBDiagonal,
  bsCross,
  bsDiagCross
};

// Colours are platform colour values: 0x00BBGGRR, or a system colour
// (0xFF0000nn, nn the system colour index) that ResolveColor maps to RGB.
uint32_t ResolveColor(uint32_t color);

struct TBackgroundParams {
  uint32_t Color = clBtnFace;
  TPxBackgroundStyle Style = pxbsSolid;
  uint32_t GradientEndColor = 0xFF0000;
  int ChessboardCellSize = 16;
  TBrushStyle ChessboardBrushStyle = bsSolid;
  const TBitmap* WallPaper = nullptr;  // none, or a picture drawn over the style
  TPxWallPaperStyle WallPaperStyle = pxwoNormal;
};

// Fills area of target (a 24-bit bitmap) in params.Style, then draws the
// wallpaper; imageRect is the picture's rectangle in the same coordinates
// (the cropped and crop-shadow styles draw around it). Nothing outside clip
// (or outside the bitmap) is written.
void PaintBackground(TBitmap& target, const TBackgroundParams& params, const TViewRect& imageRect,
                     const TViewRect& area, const TViewRect& clip);

}  // namespace rv
