#pragma once
#include "classes_b.h"

struct V
{
    int v;
    static const char *label;

    V();
    virtual ~V(); // gives V a scalar deleting destructor
    virtual int value() const;
};

struct D : B, virtual V
{
    int d;
    char tag[3];

    D();
    ~D() override;
    int value() const override;
    static int make(int seed);
};

// Second's methods, reached from Multi, need a non-zero this adjustment.
struct First
{
    int a;
    virtual int first() const;
};

struct Second
{
    int b;
    virtual int second() const;
};

struct Multi : First, Second
{
    int c;
    int second() const override;
};

struct Outer
{
    template <typename T> struct Inner
    {
        T item;
        Inner(T value);
        ~Inner();
        T get() const;
    };
};
