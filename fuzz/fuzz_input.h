// The fuzzers' input, taken a piece at a time; past its end every piece is
// zero or empty, so that any input, however short, is a whole case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct FuzzInput {
    const uint8_t* data;
    size_t size;

    uint8_t Byte()
    {
        if (size == 0) {
            return 0;
        }
        --size;
        return *data++;
    }
    uint16_t Word()
    {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    // The bytes up to the next LF (not included) or the end.
    std::string Line()
    {
        std::string line;
        while (size > 0) {
            --size;
            char c = static_cast<char>(*data++);
            if (c == '\n') {
                break;
            }
            line.push_back(c);
        }
        return line;
    }
};
