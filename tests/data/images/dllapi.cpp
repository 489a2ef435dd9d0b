#include "shapes.h"

// The sample's classes, exported from a DLL.
extern "C" __declspec(dllexport) int sampleArea(int width, int height)
{
    Geometry::Rectangle rect(1, width, height);
    return rect.area();
}

__declspec(dllexport) int sampleChecksum(const unsigned char *data, int length)
{
    return clampValue(checksum(data, length), 0, 1000);
}
