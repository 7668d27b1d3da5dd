#pragma once
// The core of every converter: frame columns into image rows.
#include <cstdint>

// Converts frame columns [column, column + columns) in screen rows
// [firstRow, firstRow + rows) into image rows starting at out, stride pixels
// apart (out[r * stride + i] = frame(column + i, firstRow + r)). columns and
// rows are multiples of 4.
void convertColumns(const uint8_t* frame, int column, int columns, int firstRow, int rows, uint32_t* out,
                    int stride);

// The kernels convertColumns chooses from, by what the processor offers.
using ConvertColumnsKernel = void (*)(const uint8_t*, int, int, int, int, uint32_t*, int);
void convertColumnsPortable(const uint8_t* frame, int column, int columns, int firstRow, int rows, uint32_t* out,
                            int stride);
// Null where the processor lacks the byte shuffle it needs.
ConvertColumnsKernel convertColumnsVectorKernel();
