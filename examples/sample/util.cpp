#include "shapes.h"

namespace {
// Internal linkage: listed among the map's static symbols.
int mix(int a, int b)
{
    return a * 31 + b;
}
} // namespace

static int rotate(int value)
{
    return (value << 3) | ((value >> 29) & 7);
}

extern "C" int clampValue(int value, int low, int high)
{
    if (value < low)
        return low;
    return value > high ? high : value;
}

extern "C" int checksum(const unsigned char *data, int length)
{
    int sum = 0;
    for (int i = 0; i < length; ++i)
        sum = mix(rotate(sum), data[i]);
    return sum;
}
