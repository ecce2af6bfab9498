// Runs of opaque pixels per row, made into one cairo region.
#include "frontend/bitmapregion.h"

#include "frontend/frontendlog.h"

#include <cstddef>

namespace {

int ValidPixels(const BitmapRegionPixels &pixels) {
    if (pixels.Data == nullptr || pixels.Width < 0 || pixels.Height < 0 ||
        pixels.Width > BITMAPREGION_SIDE_MAX || pixels.Height > BITMAPREGION_SIDE_MAX)
        return 0;
    if (pixels.Channels != 3 && pixels.Channels != 4)
        return 0;
    return pixels.Stride >= pixels.Width * pixels.Channels;
}

int Opaque(const uint8_t *pixel, const uint8_t color[3]) {
    return pixel[0] != color[0] || pixel[1] != color[1] || pixel[2] != color[2];
}

} // namespace

int BitmapRegion_CollectRuns(const BitmapRegionPixels &pixels, const uint8_t color[3],
                             int clipWidth, int clipHeight,
                             std::vector<cairo_rectangle_int_t> *runs) {
    if (ValidPixels(pixels) != 1) {
        Frontend_Log(FRONTEND_LOG_WARNING, "BitmapRegion_CollectRuns() invalid pixels %dx%d",
                     pixels.Width, pixels.Height);
        return 0;
    }
    int width = clipWidth < pixels.Width ? clipWidth : pixels.Width;
    int height = clipHeight < pixels.Height ? clipHeight : pixels.Height;
    const int channels = pixels.Channels;
    for (int y = 0; y < height; y++) {
        const uint8_t *row = pixels.Data + static_cast<size_t>(y) * pixels.Stride;
        int x = 0;
        while (x < width) {
            while (x < width && !Opaque(row + x * channels, color))
                x++;
            int start = x;
            while (x < width && Opaque(row + x * channels, color))
                x++;
            if (x > start)
                runs->push_back({start, y, x - start, 1});
        }
    }
    return 1;
}

cairo_region_t *BitmapRegion_Create(const BitmapRegionPixels &pixels, const uint8_t color[3],
                                    int clipWidth, int clipHeight) {
    std::vector<cairo_rectangle_int_t> runs;
    if (BitmapRegion_CollectRuns(pixels, color, clipWidth, clipHeight, &runs) != 1)
        return nullptr;
    cairo_region_t *region =
        cairo_region_create_rectangles(runs.data(), static_cast<int>(runs.size()));
    if (cairo_region_status(region) != CAIRO_STATUS_SUCCESS) {
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "BitmapRegion_Create() cairo_region_create_rectangles "
                     "fails for %zu runs",
                     runs.size());
        cairo_region_destroy(region);
        return nullptr;
    }
    return region;
}
