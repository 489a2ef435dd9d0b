#include "classes_b.h"

int B::count = 0;

B::B() : x(0), y(0)
{
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            grid[r][c] = r * 3 + c;
    for (int i = 0; i < 4; ++i)
        pointers[i] = &values[i];
    for (int i = 0; i < 5; ++i)
        values[i] = i;
    ++count;
}

B::~B()
{
    --count;
}

int B::sum() const
{
    int s = x + y;
    for (int i = 0; i < 5; ++i)
        s += values[i];
    return s + grid[1][2];
}

void B::set(int value)
{
    x = value;
    y = value * 2;
}
