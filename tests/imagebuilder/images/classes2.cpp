#include "classes_b.h"

// The same name as the classes image's V, with another layout.
struct V
{
    double weight;
    short code;
    V();
    int value() const;
};

V::V() : weight(0.5), code(3) {}

int V::value() const
{
    return code + static_cast<int>(weight);
}

int main()
{
    B b;
    b.set(2);
    V v;
    return b.sum() + v.value();
}
