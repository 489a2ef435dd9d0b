#include "classes.h"

const char *V::label = "V";

V::V() : v(7) {}

V::~V()
{
    v = 0;
}

int V::value() const
{
    return v;
}

D::D() : d(1), tag{'d', 0, 0} {}

D::~D()
{
    d = 0;
}

int D::value() const
{
    return d + v + sum();
}

int D::make(int seed)
{
    return seed * 3 + 1;
}

int First::first() const
{
    return a;
}

int Second::second() const
{
    return b;
}

int Multi::second() const
{
    return b + c;
}

template <typename T> Outer::Inner<T>::Inner(T value) : item(value) {}

template <typename T> Outer::Inner<T>::~Inner()
{
    item = T();
}

template <typename T> T Outer::Inner<T>::get() const
{
    return item;
}

// Each source file defines its own `Same`, of another size and members.
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

// A virtual base inherited rather than named: E : D, D : virtual V.
struct E : D
{
    int e;
    int last() const;
};

int E::last() const
{
    return e + value();
}

int sameB();

int main()
{
    Same same{2};
    E e;
    e.e = 3;
    D *heap = new D;
    int result = heap->value() + D::make(2);
    delete static_cast<V *>(heap);
    Multi multi;
    multi.a = 1;
    multi.b = 2;
    multi.c = 3;
    const Second &second = multi;
    Outer::Inner<int> inner(result);
    Outer::Inner<short> small(static_cast<short>(multi.first()));
    return inner.get() + second.second() + small.get() + same.first() + e.last() + sameB();
}
