// Benchmark of the window's shape: the region of a 1920 x 1080 frame (rounded
// corners, a round hole, a ragged right edge) from its RGB pixels, against GDK's
// gdk_cairo_region_create_from_surface on the same mask as an ARGB surface
// (alpha 0 where the frame is transparent). Before timing, both regions are
// checked to be equal.
#include "frontend/bitmapregion.h"

#include "bench/bench_main.h"
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdint>
#include <gdk/gdk.h>
#include <vector>

namespace {

const int kWidth = 1920;
const int kHeight = 1080;
const uint8_t kMagenta[3] = {255, 0, 255};

// 1 where the frame is opaque.
bool Opaque(int x, int y) {
    const int radius = 60;
    // Rounded corners.
    int cx = x < radius ? radius : (x >= kWidth - radius ? kWidth - radius - 1 : x);
    int cy = y < radius ? radius : (y >= kHeight - radius ? kHeight - radius - 1 : y);
    if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > radius * radius)
        return false;
    // A round hole in the middle.
    int dx = x - kWidth / 2, dy = y - kHeight / 2;
    if (dx * dx + dy * dy < 200 * 200)
        return false;
    // A ragged right edge: teeth of varying depth every 8 rows.
    int depth = 20 + (y / 8 % 5) * 12;
    return x < kWidth - depth;
}

struct Frame {
    std::vector<uint8_t> Rgb;
    cairo_surface_t *Surface = nullptr;
    Frame() : Rgb(static_cast<size_t>(kWidth) * kHeight * 3) {
        Surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kWidth, kHeight);
        uint8_t *data = cairo_image_surface_get_data(Surface);
        int stride = cairo_image_surface_get_stride(Surface);
        for (int y = 0; y < kHeight; y++) {
            uint32_t *row = reinterpret_cast<uint32_t *>(data + y * stride);
            for (int x = 0; x < kWidth; x++) {
                bool opaque = Opaque(x, y);
                uint8_t *p = &Rgb[(static_cast<size_t>(y) * kWidth + x) * 3];
                p[0] = opaque ? 40 : kMagenta[0];
                p[1] = opaque ? 90 : kMagenta[1];
                p[2] = opaque ? 160 : kMagenta[2];
                row[x] = opaque ? 0xFF285AA0u : 0;
            }
        }
        cairo_surface_mark_dirty(Surface);
    }
    ~Frame() { cairo_surface_destroy(Surface); }
    BitmapRegionPixels Pixels() const { return {Rgb.data(), kWidth, kHeight, kWidth * 3, 3}; }
};

Frame &TheFrame() {
    static Frame frame;
    return frame;
}

bool RegionsAgree() {
    cairo_region_t *ours = BitmapRegion_Create(TheFrame().Pixels(), kMagenta, kWidth, kHeight);
    cairo_region_t *gdk = gdk_cairo_region_create_from_surface(TheFrame().Surface);
    bool equal = ours != nullptr && cairo_region_equal(ours, gdk);
    if (ours != nullptr)
        cairo_region_destroy(ours);
    cairo_region_destroy(gdk);
    return equal;
}

void BM_Region(benchmark::State &state) {
    if (!RegionsAgree()) {
        state.SkipWithError("the regions differ");
        return;
    }
    for (auto _ : state) {
        cairo_region_t *region =
            BitmapRegion_Create(TheFrame().Pixels(), kMagenta, kWidth, kHeight);
        benchmark::DoNotOptimize(region);
        cairo_region_destroy(region);
    }
}
BENCHMARK(BM_Region)->Unit(benchmark::kMicrosecond);

void BM_RegionGdk(benchmark::State &state) {
    if (!RegionsAgree()) {
        state.SkipWithError("the regions differ");
        return;
    }
    for (auto _ : state) {
        cairo_region_t *region = gdk_cairo_region_create_from_surface(TheFrame().Surface);
        benchmark::DoNotOptimize(region);
        cairo_region_destroy(region);
    }
}
BENCHMARK(BM_RegionGdk)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
    return benchsupport::RunBenchmarks(argc, argv);
}
