// The window's shape from its frame bitmap: every maximal run of a row whose
// pixels differ from the transparency colour becomes a 1-pixel-high rectangle,
// and all rectangles are made into one region at once (adding them one by one
// would cost a union per run). Tuned for full-screen frames: one pass over the
// pixels, one allocation for the rectangles.
#pragma once

#include <cairo.h>
#include <cstdint>
#include <vector>

enum {
    BITMAPREGION_SIDE_MAX = 8192, // larger frames are refused (pixels per side)
};

// The pixels of a frame: 8-bit RGB samples, channels bytes a pixel (3 or 4, a
// fourth being alpha, ignored), stride bytes a row.
struct BitmapRegionPixels {
    const uint8_t *Data;
    int Width;
    int Height;
    int Stride;
    int Channels;
};

// Appends to runs the opaque runs of the pixels within clipWidth x clipHeight
// (each at most the bitmap's size): rows top to bottom, runs left to right.
// Returns 1; 0 (logged) when the pixel description is not valid.
int BitmapRegion_CollectRuns(const BitmapRegionPixels &pixels, const uint8_t color[3],
                             int clipWidth, int clipHeight,
                             std::vector<cairo_rectangle_int_t> *runs);

// The region of those runs (owned by the caller, cairo_region_destroy), or null
// (logged) when the pixels are not valid or memory runs out.
cairo_region_t *BitmapRegion_Create(const BitmapRegionPixels &pixels, const uint8_t color[3],
                                    int clipWidth, int clipHeight);
