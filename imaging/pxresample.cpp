// The public face of resampling: filter names and kernels, contributor
// tables, and the dispatch of FilteredResample to the engines (one per
// pxresample_*.cpp file).
#include "imaging/pxresample.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include "imaging/pxresample_internal.h"

namespace rv {

namespace {

using resample::AreaResample;
using resample::FastLinearResample;
using resample::KernelResample;
using resample::KindOf;
using resample::NearestResample;
using resample::ProjectResample;
using resample::TPlaneKind;
using resample::TRect;

constexpr const char* kFilterNames[kResampleFilterCount] = {
    "rfNone",    "rfTriangle", "rfHermite",    "rfBell",     "rfBSpline", "rfLanczos3",  "rfMitchell",
    "rfNearest", "rfLinear",   "rfFastLinear", "rfBilinear", "rfBicubic", "rfProjectBW", "rfProjectWB"};

bool ClipToSource(TPxBitmap& source, TRect& r) {
  const int64_t W = source.Width(), H = source.Height();
  int64_t x = r.x, y = r.y, w = r.w, h = r.h;
  if (x < 0) w += x, x = 0;
  if (y < 0) h += y, y = 0;
  if (x + w > W) w = W - x;
  if (y + h > H) h = H - y;
  if (w <= 0 || h <= 0) return false;
  r = TRect{int(x), int(y), int(w), int(h)};
  return true;
}

// ---------------------------------------------------------------- kernels

long double KernelValue(TResampleFilter filter, long double x) {
  const long double a = std::fabs(x);
  switch (filter) {
    case rfTriangle:
    case rfLinear:
      return a < 1 ? 1 - a : 0;
    case rfHermite:
      return a < 1 ? (2 * a - 3) * a * a + 1 : 0;
    case rfBell:
      if (a < 0.5L) return 0.75L - a * a;
      if (a < 1.5L) return 0.5L * (a - 1.5L) * (a - 1.5L);
      return 0;
    case rfBSpline:
      if (a < 1) return 0.5L * a * a * a - a * a + 2.0L / 3.0L;
      if (a < 2) return (2 - a) * (2 - a) * (2 - a) / 6;
      return 0;
    case rfLanczos3: {
      if (a >= 3) return 0;
      auto sinc = [](long double t) {
        if (t == 0) return 1.0L;
        const long double pt = 3.14159265358979323846264338327950288L * t;
        return std::sin(pt) / pt;
      };
      return sinc(x) * sinc(x / 3);
    }
    case rfMitchell:
      if (a < 1) return (7 * a * a * a - 12 * a * a + 16.0L / 3.0L) / 6;
      if (a < 2) return (-(7.0L / 3.0L) * a * a * a + 12 * a * a - 20 * a + 32.0L / 3.0L) / 6;
      return 0;
    case rfNearest:
      return (x > -0.5L && x <= 0.5L) ? 1 : 0;
    default:
      return 0;
  }
}

int MirrorIndex(int j, int length) {
  if (j < 0)
    j = -j;
  else if (j >= length)
    j = 2 * length - 1 - j;
  return std::clamp(j, 0, length - 1);
}

// ---------------------------------------------------------------- dispatch

// Runs `engine(target)` with target = Dest when it is pxRGB24, else a
// temporary pxRGB24 whose result is converted into Dest's format.
template <typename Engine>
void IntoRGB24(TPxBitmap& dest, Engine&& engine) {
  if (dest.Format() == pxRGB24) {
    const TPxAccessGuard guard(dest, kAccessWrite);
    engine(dest);
    return;
  }
  TPxBitmap tmp;
  tmp.AllocatePixels(dest.Width(), dest.Height(), pxRGB24);
  engine(tmp);
  dest.ConvertPixelsFrom(tmp);
}

}  // namespace

// ---------------------------------------------------------------- public

const char* ResampleFilterName(TResampleFilter filter) {
  return filter < kResampleFilterCount ? kFilterNames[filter] : nullptr;
}

bool ResampleFilterFromName(std::string_view name, TResampleFilter& filter) {
  std::string lower;
  for (char c : name) lower += char(std::tolower(static_cast<unsigned char>(c)));
  for (int i = 0; i < kResampleFilterCount; ++i) {
    std::string full;
    for (const char* p = kFilterNames[i]; *p; ++p) full += char(std::tolower(static_cast<unsigned char>(*p)));
    if (lower == full || lower == full.substr(2)) {
      filter = TResampleFilter(i);
      return true;
    }
  }
  return false;
}

double ResampleKernel(TResampleFilter filter, double x) {
  return double(KernelValue(filter, x));
}

double ResampleSupport(TResampleFilter filter) {
  switch (filter) {
    case rfTriangle:
    case rfHermite:
    case rfNearest:
    case rfLinear:
      return 1.0;
    case rfBell:
      return 1.5;
    case rfBSpline:
    case rfMitchell:
      return 2.0;
    case rfLanczos3:
      return 3.0;
    default:
      return 0.0;
  }
}

std::vector<TContributorList> BuildContributors(int S, int D, TResampleFilter filter) {
  std::vector<TContributorList> lists(size_t(std::max(D, 0)));
  if (S <= 0 || D <= 0) return lists;
  const double scale = (S > 1 && D > 1) ? double(D - 1) / double(S - 1) : double(D) / double(S);
  const double support = ResampleSupport(filter);
  const bool reducing = scale < 1;
  const double width = reducing ? support / scale : support;
  for (int i = 0; i < D; ++i) {
    const double center = i / scale;
    const int first = int(std::floor(center - width)), last = int(std::ceil(center + width));
    auto collect = [&](bool scaledWeights) {
      TContributorList& list = lists[size_t(i)];
      list.clear();
      int total = 0;
      for (int j = first; j <= last; ++j) {
        double v;
        if (!reducing)
          v = ResampleKernel(filter, center - j) * 256;
        else if (scaledWeights)
          v = ResampleKernel(filter, (center - j) * scale) * 256 * scale;
        else
          v = ResampleKernel(filter, (center - j) * scale) * 256;
        const int w = int(std::nearbyint(v));
        if (w == 0) continue;
        list.push_back(TContributor{MirrorIndex(j, S), w});
        total += w;
      }
      return total;
    };
    // Reducing by more than about 512 times rounds every scaled weight to 0,
    // which would make the picture black: the unscaled weights (the scale
    // only cancels out in the normalisation) keep it.
    if (collect(true) == 0 && reducing) collect(false);
    if (lists[size_t(i)].empty())
      lists[size_t(i)].push_back(TContributor{MirrorIndex(int(std::lround(center)), S), 256});
  }
  return lists;
}

void FilteredResampleRect(TPxBitmap& source, int srcX, int srcY, int srcW, int srcH, TPxBitmap& dest,
                          TResampleFilter filter, const TProgressHandler& progress) {
  if (&source == &dest || source.IsEmpty() || dest.IsEmpty()) return;
  TRect r{srcX, srcY, srcW, srcH};
  if (!ClipToSource(source, r)) return;
  const TPxAccessGuard sourceGuard(source, kAccessRead);
  const TPxBitmapFormat f = source.Format();
  if (filter == rfNone || filter >= kResampleFilterCount) {
    if (filter != rfNone) return;
    const TPxAccessGuard destGuard(dest, kAccessWrite);
    NearestResample(source, r, dest, progress);
    return;
  }
  if (f != pxRGB24 && f != pxMono1) {
    // Filters work on true colour: filter a converted copy of the rectangle.
    TPxBitmap copy;
    copy.AllocatePixels(r.w, r.h, f);
    for (int i = 0; i < source.PaletteCount(); ++i) {
      TColorBGR c;
      source.GetPaletteEntry(i, c);
      copy.SetPaletteEntry(i, c);
    }
    source.CopyRegionTo(copy, r.x, r.y, 0, 0, r.w, r.h);
    copy.ChangeFormat(pxRGB24);
    if (copy.Format() == pxRGB24) FilteredResampleRect(copy, 0, 0, r.w, r.h, dest, filter, progress);
    return;
  }
  const TPlaneKind kind = KindOf(f);
  if (filter == rfProjectBW || filter == rfProjectWB) {
    if (dest.Format() != pxMono1) dest.AllocatePixels(dest.Width(), dest.Height(), pxMono1);
    const TPxAccessGuard destGuard(dest, kAccessWrite);
    ProjectResample(source, kind, r, dest, filter == rfProjectWB, progress);
    return;
  }
  IntoRGB24(dest, [&](TPxBitmap& target) {
    if (IsKernelFilter(filter)) {
      KernelResample(source, kind, r, target, filter, progress);
    } else if (kind == TPlaneKind::Mono) {
      const int dw = target.Width(), dh = target.Height();
      // The blocks of the edge columns reach half a block outside the
      // rectangle; they are kept inside it, as for a copy of the rectangle.
      if (dw < r.w && dh < r.h)
        resample::MonoBoxAverageWithin(source, r.x, r.y, r.x + r.w - 1, r.y + r.h - 1, r, target);
      else
        FastLinearResample(source, kind, r, target, true, progress);
    } else if (filter == rfFastLinear) {
      FastLinearResample(source, kind, r, target, false, progress);
    } else {
      AreaResample(source, r, target, filter == rfBicubic, progress);
    }
  });
}

void FilteredResample(TPxBitmap& source, TPxBitmap& dest, TResampleFilter filter, const TProgressHandler& progress) {
  FilteredResampleRect(source, 0, 0, source.Width(), source.Height(), dest, filter, progress);
}

void FilteredResampleAlphaRect(TPxBitmap& source, int srcX, int srcY, int srcW, int srcH, TPxBitmap& dest,
                               TResampleFilter filter) {
  if (&source == &dest || source.IsEmpty() || dest.IsEmpty()) return;
  if (source.Format() != pxGray8 || dest.Format() != pxGray8) return;
  TRect r{srcX, srcY, srcW, srcH};
  if (!ClipToSource(source, r)) return;
  const TPxAccessGuard sourceGuard(source, kAccessRead);
  const TPxAccessGuard destGuard(dest, kAccessWrite);
  if (filter == rfNone)
    NearestResample(source, r, dest, {});
  else if (IsKernelFilter(filter))
    KernelResample(source, TPlaneKind::Gray, r, dest, filter, {});
  else if (filter < kResampleFilterCount)
    FastLinearResample(source, TPlaneKind::Gray, r, dest, false, {});
}

void FilteredResampleAlpha(TPxBitmap& source, TPxBitmap& dest, TResampleFilter filter) {
  FilteredResampleAlphaRect(source, 0, 0, source.Width(), source.Height(), dest, filter);
}

}  // namespace rv
