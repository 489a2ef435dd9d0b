// Second module of the test image: the only definition of Fwd.
struct Fwd
{
    int a;
    double b;
    int c;
};

Fwd g;

int other(Fwd *f)
{
    if (!f)
        return 0;
    return f->a;
}
