// The channel table the answer, command and soak programs configure: words,
// signed words, BCD, 32- and 64-bit values, floats, a string, bits of a word
// and of a bit area, in three separate runs of addresses.
#pragma once

#include <vector>

#include "Blob.h"

inline std::vector<TestRow> FuzzRows() {
    const auto row = [](uint32_t chlType, uint32_t address, uint32_t dataType, uint32_t bit = 0) {
        return MakeRow(chlType, address, dataType, bit);
    };
    return {
        row(14, 0, 83),  row(14, 1, 84),  row(14, 2, 85),  row(14, 3, 86),  row(14, 5, 87),      row(14, 7, 88),
        row(14, 9, 89),  row(14, 11, 90), row(14, 15, 91), row(14, 19, 93), row(14, 23, 131, 4), row(14, 30, 3),
        row(14, 30, 15), row(0, 0, 20),   row(0, 1, 20),   row(0, 9, 20),   row(14, 1000, 83),   row(26, 4, 89),
    };
}
