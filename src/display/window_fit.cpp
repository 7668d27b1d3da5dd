#include "display/window_fit.h"

#include <algorithm>
#include <cstdint>

#include "display/scaling_policy.h"

namespace {

bool exceeds(int value, int limit) { return limit > 0 && value > limit; }

}  // namespace

ClientSize capToArea(int W, int H, ClientSize size, int maxWidth, int maxHeight) {
    if (W <= 0 || H <= 0) return size;
    if (!exceeds(size.width, maxWidth) && !exceeds(size.height, maxHeight)) return size;
    int64_t w = size.width;
    if (exceeds(size.width, maxWidth)) w = maxWidth;
    if (exceeds(int(int64_t(H) * w / W), maxHeight)) w = int64_t(W) * maxHeight / H;
    w &= ~int64_t{1};
    w = std::max<int64_t>(w, W);
    return ClientSize{int(w), int(int64_t(H) * w / W)};
}

ClientSize snapToMultiple(int W, int H, ClientSize size, int maxWidth, int maxHeight) {
    if (W <= 0 || H <= 0) return size;
    int k = std::max(1, std::min(size.width / W, size.height / H));
    const int fits = wholeMultipleThatFits(W, H, maxWidth > 0 ? maxWidth : k * W,
                                           maxHeight > 0 ? maxHeight : k * H);
    if (fits > 0) k = std::min(k, fits);
    else k = 1;
    return ClientSize{k * W, k * H};
}

ClientSize checkStoredSize(int W, int H, ClientSize stored, int maxWidth, int maxHeight) {
    if (stored.width < W || stored.height < H || exceeds(stored.width, maxWidth) ||
        exceeds(stored.height, maxHeight))
        return ClientSize{W, H};
    return stored;
}
