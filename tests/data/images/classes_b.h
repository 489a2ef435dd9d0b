// The base class, from a second source file of the classes image.
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
