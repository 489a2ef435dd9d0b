// One of two translation units that each define their own `Same`; this one also holds a class
// whose virtual base is inherited, not named: E : D, D : virtual V.
namespace {
struct Same
{
    int a;
    int first() const;
};

int Same::first() const
{
    return a + 1;
}
} // namespace

struct V
{
    int v;
    int base() const;
};

struct D : virtual V
{
    int d;
    int middle() const;
};

struct E : D
{
    int e;
    int last() const;
};

int V::base() const
{
    return v;
}

int D::middle() const
{
    return d + base();
}

int E::last() const
{
    return e + middle();
}

int sameB();

int main()
{
    Same same{2};
    E e;
    e.v = 1;
    e.d = 2;
    e.e = 3;
    return same.first() + e.last() + sameB();
}
