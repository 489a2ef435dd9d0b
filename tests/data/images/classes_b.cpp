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

// The other `Same`: same name, other size and members.
namespace {
struct Same
{
    double weights[4];
    char code;
    int second() const;
    int third() const;
};

int Same::second() const
{
    return code + static_cast<int>(weights[0]);
}

int Same::third() const
{
    return second() * 2;
}
} // namespace

int sameB()
{
    Same same{{0.5, 1.5, 2.5, 3.5}, 3};
    return same.third();
}
