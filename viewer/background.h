// Backgrounds of the picture view: fills an area of the 24-bit back buffer in
// one of the background styles, then draws the wallpaper over it.
#pragma once

#include <cstdint>
#include <functional>

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
// Values with the top bit clear resolve to their low 24 bits.
uint32_t ResolveColor(uint32_t color);

// System colour indices used here (the platform's numbering).
enum TSystemColorIndex : int {
  COLOR_BTNFACE = 15,
  COLOR_BTNSHADOW = 16,
  COLOR_BTNHIGHLIGHT = 20,
  COLOR_3DDKSHADOW = 21,
  COLOR_3DLIGHT = 22,
};

// The built-in system colours: the usual light desktop theme (button face
// 0xF0F0F0, shadow 0xA0A0A0, ...) as 0x00BBGGRR; 0 for an unknown index.
uint32_t DefaultSystemColor(int index);
// Where ResolveColor takes system colours from: the resolver gets the index
// and returns 0x00BBGGRR. The Qt layer installs one that reads the desktop
// palette; an empty function restores the built-in table. Set it from the
// user-interface thread before painting.
using TSystemColorResolver = std::function<uint32_t(int index)>;
void SetSystemColorResolver(TSystemColorResolver resolver);

// The bitwise inverse of a colour's RGB value (of the resolved colour for a
// system colour), as the chessboard and diagonals styles draw it.
uint32_t InverseColor(uint32_t color);

// Width of the sunken edge the cropped style draws around the picture, and
// the width of the crop shadow's bands.
constexpr int kEdgeWidth = 2;
constexpr int kCropShadowWidth = 5;

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
// (the cropped and crop-shadow styles draw around it). Nothing outside
// clip ∩ area ∩ bitmap is written; other bitmap depths are left alone.
//
// How the styles draw:
//  - Hatch styles (pxbsHorizontal .. pxbsDiagCross) and hatched chessboard
//    squares: the platform's 8 x 8 hatch patterns anchored at the bitmap's
//    (0, 0) (the device's brush origin), lines in the colour. The gaps are
//    painted white, the platform's default opaque background, so nothing of
//    the previous frame shows through them.
//  - pxbsChessboard with a solid brush: the top-left square of the area has
//    the colour. With another brush (the canvas path) the top-left square has
//    the inverse colour; bsClear squares are not painted at all.
//    ChessboardCellSize below 1 counts as 1.
//  - pxbsDiagonals: one-pixel lines in the inverse colour from the area's
//    top-left pixel towards its bottom-right corner and from its top-right
//    pixel towards its bottom-left corner, stopping one step short of the
//    corner outside the area as the platform's lines do.
//  - pxbsCropped: the button face, and a sunken edge kEdgeWidth wide just
//    outside the image rectangle: outer ring shadow (top, left) and
//    highlight (bottom, right), inner ring dark shadow and light; bottom and
//    right lines are drawn last and own the corners.
//  - pxbsCropShadow: bands kCropShadowWidth wide right of and below the
//    picture, starting kCropShadowWidth in from its top (left) edge; the
//    colour times exp(-0.1 - q^2 / 6), q being the distance of the line from
//    the band's outer edge over a third of the band width (about 0.2 next to
//    the picture, 0.85 at the outer line). The bands meet in a quarter
//    circle round the picture's bottom-right corner.
//  - pxbsGradient: row i of the area's h rows is colour + (end - colour) x
//    i / (h - 1) per channel, rounded: the first row has the colour, the
//    last GradientEndColor.
//  - Wallpaper (any bitmap depth): pxwoNormal once at the area's top-left
//    corner at its own size, pxwoStretch stretched over the area (nearest
//    pixel), pxwoTile repeated from the area's top-left corner.
void PaintBackground(TBitmap& target, const TBackgroundParams& params, const TViewRect& imageRect,
                     const TViewRect& area, const TViewRect& clip);

}  // namespace rv
