#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/frame_buffer.h"
#include "display/convert_columns.h"

// Each kernel against the plain reading of the frame layout, on random
// bytes, with a padded output so stray writes show.
TEST(ConvertColumns, EveryKernelMatchesTheFrameLayout) {
    std::vector<uint8_t> frame(kVideoStorageAllocBytes);
    std::mt19937 random(7);
    for (uint8_t& byte : frame) byte = static_cast<uint8_t>(random());
    const auto rawPixel = [&](int c, int y) {
        const uint8_t* p = frame.data() + 720 * c + 3 * (239 - y);
        return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    };

    struct Region {
        int column, columns, firstRow, rows;
    };
    const Region regions[] = {
        {0, 720, 0, 240},   // the whole frame, up to its last byte
        {72, 256, 48, 192},
        {432, 256, 0, 192},
        {40, 320, 0, 240},
        {4, 4, 236, 4},     // one block, the screen's last rows
    };
    struct Kernel {
        const char* name;
        ConvertColumnsKernel run;
    };
    std::vector<Kernel> kernels = {{"portable", convertColumnsPortable}, {"chosen", convertColumns}};
    if (ConvertColumnsKernel vector = convertColumnsVectorKernel()) kernels.push_back({"vector", vector});

    constexpr uint32_t kUntouched = 0xDEADBEEF;
    for (const Kernel& kernel : kernels) {
        for (const Region& region : regions) {
            SCOPED_TRACE(testing::Message() << kernel.name << " columns " << region.column << "+"
                                            << region.columns << " rows " << region.firstRow << "+" << region.rows);
            const int stride = region.columns + 8;
            std::vector<uint32_t> out(static_cast<size_t>(stride) * region.rows, kUntouched);
            kernel.run(frame.data(), region.column, region.columns, region.firstRow, region.rows, out.data(), stride);
            int wrong = 0;
            for (int r = 0; r < region.rows; ++r) {
                for (int i = 0; i < stride; ++i) {
                    const uint32_t want = i < region.columns ? rawPixel(region.column + i, region.firstRow + r)
                                                             : kUntouched;
                    if (out[r * stride + i] != want && ++wrong <= 3)
                        ADD_FAILURE() << "row " << r << " pixel " << i;
                }
            }
            EXPECT_EQ(wrong, 0);
        }
    }
}
