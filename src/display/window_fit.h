#pragma once
// Client sizes that fit the screen: the cap on sizing, the snap to whole
// multiples in pixel-perfect mode, and the check of a stored size.
// Pure functions; sizes are client sizes in the window system's pixels.

struct ClientSize {
    int width;
    int height;
    bool operator==(const ClientSize&) const = default;
};

// At most maxWidth x maxHeight with the natural aspect (W x H) and an even
// width; never below the natural size, which wins on a screen too small for it.
// A maximum of 0 or less means no limit on that axis.
ClientSize capToArea(int naturalWidth, int naturalHeight, ClientSize size, int maxWidth, int maxHeight);

// The largest whole multiple of the natural size within size (at least 1x),
// as a window manager steps a size by increments, then brought down to the
// largest multiple within the maximum.
ClientSize snapToMultiple(int naturalWidth, int naturalHeight, ClientSize size, int maxWidth,
                          int maxHeight);

// A stored size below the natural size on either axis, above the maximum, or
// never set, opens at the natural size; any other is kept.
ClientSize checkStoredSize(int naturalWidth, int naturalHeight, ClientSize stored, int maxWidth,
                           int maxHeight);
