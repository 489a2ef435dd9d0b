// A small program for the images that differ only in how they are linked.
struct Accumulator
{
    int total;
    Accumulator();
    ~Accumulator();
    void add(int value);
};

Accumulator::Accumulator() : total(0) {}

Accumulator::~Accumulator()
{
    total = -1;
}

void Accumulator::add(int value)
{
    total += value;
}

static int square(int a)
{
    return a * a;
}

extern "C" int cube(int a)
{
    return a * square(a);
}

int main()
{
    Accumulator acc;
    acc.add(square(3));
    acc.add(cube(2));
    return acc.total;
}
