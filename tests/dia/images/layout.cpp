// Class-typed array members for the reader's layout tests.
struct T
{
    int t;
    T() : t(1) {}
};

struct Holder
{
    int a;
    int b;
    T cells[2][3]; // offset 8, element size 4
    T *links[2];
    int nums[3];
    static int total;

    Holder();
    int sum() const;
};

int Holder::total = 0;

Holder::Holder() : a(1), b(2), links{nullptr, nullptr}, nums{1, 2, 3}
{
    ++total;
}

int Holder::sum() const
{
    int s = a + b;
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            s += cells[r][c].t;
    return s + nums[0];
}

int main()
{
    Holder h;
    return h.sum();
}
