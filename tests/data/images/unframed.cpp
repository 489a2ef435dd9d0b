// Some functions of this image keep clang's frame encoding, so no 55 8B EC follows the hook.
extern "C" int framedAdd(int a, int b)
{
    return a + b;
}

extern "C" int unframedAdd(int a, int b)
{
    return a + b + 1;
}

namespace Calc {
int twice(int a)
{
    return a * 2;
}

struct Counter
{
    int n;
    Counter() : n(0) {}
    int bump();
};

int Counter::bump()
{
    return ++n;
}
} // namespace Calc

int main()
{
    Calc::Counter c;
    return framedAdd(1, 2) + unframedAdd(3, 4) + Calc::twice(5) + c.bump();
}
