// Shared by the classes and classes2 images: the same class in two programs.
#pragma once

struct B
{
    int x;
    int y;
    int grid[2][3]; // offset 8, element size 4
    int *pointers[4];
    int values[5];
    static int count;

    B();
    ~B();
    int sum() const;
    void set(int value);
};
