// Test image: classes with bases, a virtual base, arrays of classes, static members,
// overloads, a template, a forward-declared class and functions of several conventions.
extern "C" void penterHook() __asm__("__penter");
extern "C" void penterHook() {}

struct Fwd; // defined in the other module only

struct V
{
    int v;
};

struct B
{
    int b;
    void hello();
};

struct E
{
    char c;
    short s;
};

class D : public B, public virtual V
{
public:
    int x;
    E arr[2][3];
    E one;
    const E constOne;
    Fwd *link;
    int numbers[4];
    struct Node
    {
        int n;
    };
    Node node;
    static int shared;
    D() : x(0), constOne{'a', 2} {}
    void run();
    void run(int);
    int get() const { return x; }
    static int count() { return 7; }
};

int D::shared = 3;

void B::hello()
{
    b = 1;
}

void D::run()
{
    x = 2;
}

void D::run(int y)
{
    x = y;
    x += 1;
    x *= 2;
}

namespace Outer {
template <class T> struct Inner
{
    T t;
    void go() { t = T(); }
};
} // namespace Outer

int freeFn(int a)
{
    int b = a + 1;
    b = b * 3;
    return b;
}

static int localFn(int a)
{
    return a * 2;
}

int __stdcall stdFn(int a)
{
    return a;
}

int other(Fwd *f);

int main()
{
    D d;
    d.run();
    d.run(3);
    d.hello();
    Outer::Inner<int> in;
    in.go();
    return freeFn(1) + localFn(2) + stdFn(3) + d.get() + D::count() + other(nullptr);
}
